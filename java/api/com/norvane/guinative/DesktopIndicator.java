package com.norvane.guinative;

import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;

/**
 * An indicator of the application on the desktop: while it is shown, a hidden window of the
 * library receives the click notifications of its icon and calls {@link #fireClicked} on the
 * library's indicator thread.
 */
public class DesktopIndicator {
    static {
        System.loadLibrary("pallux");
    }

    /** The native record of the indicator while it is shown, 0 otherwise; kept by the library. */
    private volatile long handler;

    private int image;
    private String tooltip;
    private final List<DesktopIndicatorListener> listeners = new CopyOnWriteArrayList<>();

    public DesktopIndicator(int image, String tooltip) {
        this.image = image;
        this.tooltip = tooltip;
    }

    public void addDesktopIndicatorListener(DesktopIndicatorListener listener) {
        listeners.add(listener);
    }

    public void removeDesktopIndicatorListener(DesktopIndicatorListener listener) {
        listeners.remove(listener);
    }

    public void show() {
        nativeEnable(image, tooltip);
    }

    /** Changes the icon and tooltip; shows the indicator if it is not shown. */
    public void update(int image, String tooltip) {
        this.image = image;
        this.tooltip = tooltip;
        nativeEnable(image, tooltip);
    }

    public void hide() {
        nativeDisable();
    }

    /** Whether the library holds a record of this indicator (a hide takes effect shortly after). */
    public boolean isEnabled() {
        return handler != 0;
    }

    /** Called by the library, on its indicator thread, when the indicator was double-clicked. */
    public void fireClicked() {
        for (DesktopIndicatorListener listener : listeners) {
            listener.onDesktopIndicatorClicked(this);
        }
    }

    /** Shows the indicator, or changes its image and tooltip when it is shown. */
    public native void nativeEnable(int image, String tooltip);

    /** Hides the indicator; the library does it shortly after, on its indicator thread. */
    public native void nativeDisable();

    /** The first icon of a file, or -1 when the file has none (1 for a file of no icon format). */
    public static native int nativeLoadImage(String fileName);

    /** Frees an icon of {@link #nativeLoadImage}; nonzero on success. */
    public static native int nativeFreeImage(int image);

    /** Brings the application's main window forward; nonzero when it became the foreground window. */
    public static native int nativeRestoreWindow();
}
