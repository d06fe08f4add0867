package com.norvane.guinative;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Desktop;
import java.util.concurrent.atomic.AtomicInteger;

/** What the indicator tests share: an indicator that counts its clicks, and the indicator thread. */
final class IndicatorTesting {
    static final String CLASS = "PemrixBackupWindowClass";
    static final String TITLE = "PemrixBackupWindow";
    static final int WM_NOTIFY_ICON = Win32Util.WM_USER + 1;

    private IndicatorTesting() {}

    static class CountingIndicator extends DesktopIndicator {
        final AtomicInteger clicks = new AtomicInteger();

        CountingIndicator() {
            super(0, "counting");
        }

        @Override
        public void fireClicked() {
            clicks.incrementAndGet();
            super.fireClicked();
        }
    }

    /** The library's indicator thread, attached to this virtual machine; null when none runs. */
    static Thread indicatorThread() {
        for (Thread thread : Thread.getAllStackTraces().keySet()) {
            if (thread.getName().equals("Desktop indicator") && thread.isAlive()) {
                return thread;
            }
        }
        return null;
    }

    /** The indicator's window, once the indicator thread has made it. */
    static long windowOf(DesktopIndicator indicator, long... others) {
        long[] found = new long[1];
        assertTrue(Desktop.eventually(() -> {
            for (Desktop.Window window : Desktop.windows()) {
                if (window.className.equals(CLASS) && !contains(others, window.handle)) {
                    found[0] = window.handle;
                    return true;
                }
            }
            return false;
        }), "no indicator window appeared");
        return found[0];
    }

    static void disableAndWait(DesktopIndicator... indicators) {
        for (DesktopIndicator indicator : indicators) {
            indicator.nativeDisable();
        }
        for (DesktopIndicator indicator : indicators) {
            assertTrue(Desktop.eventually(() -> !indicator.isEnabled()), "still enabled");
        }
    }

    static void assertNoIndicatorLeft() {
        assertTrue(Desktop.eventually(() -> Desktop.windowsOfClass(CLASS) == 0), "indicator windows left");
        assertTrue(Desktop.eventually(() -> indicatorThread() == null), "the indicator thread still runs");
    }

    static void click(long window) {
        Desktop.post(window, WM_NOTIFY_ICON, 0, Win32Util.WM_LBUTTONDBLCLK);
    }

    private static boolean contains(long[] values, long value) {
        for (long v : values) {
            if (v == value) {
                return true;
            }
        }
        return false;
    }
}
