package com.norvane.guinative;

/** Told when the user double-clicks a desktop indicator. */
public interface DesktopIndicatorListener {
    void onDesktopIndicatorClicked(DesktopIndicator source);
}
