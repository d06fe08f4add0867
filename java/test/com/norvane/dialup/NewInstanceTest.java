package com.norvane.dialup;

import static org.junit.jupiter.api.Assertions.*;

import com.norvane.guinative.DesktopIndicator;
import com.norvane.guinative.Win32Util;
import com.pemrix.testsupport.Desktop;
import com.pemrix.testsupport.OtherInstance;
import java.util.concurrent.atomic.AtomicBoolean;
import org.junit.jupiter.api.Test;

/** One instance of the application finds another by its window title and brings it forward. */
class NewInstanceTest {
    private static final String TITLE = "PemrixBackupWindow";

    @Test
    void newInstanceRestoresTheWindowOfAnotherProcess() throws Exception {
        assertEquals(1, Pallux.newInstance(), "no window at all on the desktop yet");
        try (OtherInstance.Running other = OtherInstance.start()) {
            String ready = other.nextLine();
            assertNotNull(ready);
            assertTrue(ready.startsWith("ready "), ready);
            long window = Long.parseLong(ready.substring(6));
            assertFalse(Desktop.window(window).visible);

            Pallux.SetTitle("No window has this title");
            assertEquals(1, Pallux.newInstance());
            Pallux.SetTitle(TITLE);
            assertEquals(0, Pallux.newInstance());
            Desktop.Window restored = Desktop.window(window);
            assertEquals(other.process.pid(), restored.process);
            assertTrue(restored.visible);
            assertTrue(restored.foreground);

            // The indicator brings the same window forward by the same title.
            assertEquals(1, Win32Util.showWindow(window, Win32Util.SW_MINIMIZE));
            assertTrue(Desktop.window(window).minimized);
            assertNotEquals(0, DesktopIndicator.nativeRestoreWindow());
            assertFalse(Desktop.window(window).minimized);

            // A tray helper in this process posts the click to the other instance's indicator.
            assertEquals(1, Win32Util.sendMessage(window, Win32Util.WM_USER + 1, 0, Win32Util.WM_LBUTTONDBLCLK));
            assertEquals("clicked", other.nextLine());
        }
        // The windows of a process that has ended are gone with it.
        assertEquals(0, Win32Util.findWindow(null, TITLE));
        assertEquals(1, Pallux.newInstance());
        assertEquals(0, DesktopIndicator.nativeRestoreWindow());
    }

    /** The title is replaced while other threads look windows up by it. */
    @Test
    void titleReplacedWhileItIsReadStaysWhole() throws Exception {
        AtomicBoolean stop = new AtomicBoolean();
        Thread setter = new Thread(() -> {
            for (int i = 0; !stop.get(); i++) {
                Pallux.SetTitle("Title " + "x".repeat(i % 300));
            }
        });
        setter.start();
        try {
            for (int i = 0; i < 2000; i++) {
                assertEquals(1, Pallux.newInstance());
                assertEquals(0, DesktopIndicator.nativeRestoreWindow());
            }
        } finally {
            stop.set(true);
            setter.join();
        }
    }
}
