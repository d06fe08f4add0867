package com.norvane.guinative;

import static com.norvane.guinative.IndicatorTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.norvane.dialup.Pallux;
import com.pemrix.testsupport.Desktop;
import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** The desktop indicator's whole life: window, clicks, updates, several indicators, disable, enable again. */
class DesktopIndicatorTest {
    @AfterEach
    void nothingLeftBehind() {
        assertNoIndicatorLeft();
        assertEquals(0, Desktop.messageBoxes().size(), "message boxes: " + Desktop.messageBoxes());
    }

    @Test
    void enabledIndicatorHasAHiddenWindowAndADaemonThread() {
        CountingIndicator indicator = new CountingIndicator();
        indicator.nativeEnable(7, "tip");
        assertTrue(indicator.isEnabled());
        long window = windowOf(indicator);
        assertEquals(window, Win32Util.findWindow(CLASS, TITLE));
        assertEquals(window, Win32Util.findWindow(null, TITLE));
        assertEquals(window, Win32Util.findWindow("pemrixbackupwindowclass", "PEMRIXBACKUPWINDOW"));
        Desktop.Window shown = Desktop.window(window);
        assertEquals(TITLE, shown.title);
        assertFalse(shown.visible);
        assertEquals(ProcessHandle.current().pid(), shown.process);
        Thread thread = indicatorThread();
        assertNotNull(thread);
        assertTrue(thread.isDaemon(), "a daemon, so the virtual machine's end does not wait for it");

        disableAndWait(indicator);
        assertEquals(0, Win32Util.findWindow(null, TITLE));
    }

    @Test
    void onlyADoubleClickNotificationCallsFireClicked() {
        CountingIndicator indicator = new CountingIndicator();
        indicator.nativeEnable(0, "clicks");
        long window = windowOf(indicator);

        click(window);
        assertTrue(Desktop.eventually(() -> indicator.clicks.get() == 1));
        // Other mouse messages, plain WM_USER, and a WM_USER that looks like a destroy command
        // of the indicator thread, posted to the window by another process: none does anything.
        Desktop.post(window, WM_NOTIFY_ICON, 0, Win32Util.WM_LBUTTONDBLCLK - 1);
        Desktop.post(window, Win32Util.WM_USER, 0, Win32Util.WM_LBUTTONDBLCLK);
        Desktop.post(window, Win32Util.WM_USER, 3, 0x12345678L);
        // Only the low 32 bits of the second parameter count.
        Desktop.post(window, WM_NOTIFY_ICON, 0, 0x1_0000_0000L | Win32Util.WM_LBUTTONDBLCLK);
        assertTrue(Desktop.eventually(() -> indicator.clicks.get() == 2));
        // And from this process, through Win32Util.
        assertEquals(1, Win32Util.sendMessage(window, WM_NOTIFY_ICON, 0, Win32Util.WM_LBUTTONDBLCLK));
        assertTrue(Desktop.eventually(() -> indicator.clicks.get() == 3));
        assertTrue(indicator.isEnabled());
        assertEquals(3, indicator.clicks.get());

        disableAndWait(indicator);
        assertEquals(0, Win32Util.sendMessage(window, WM_NOTIFY_ICON, 0, Win32Util.WM_LBUTTONDBLCLK),
                "the window is gone");
    }

    @Test
    void enablingAgainUpdatesWithoutASecondWindow() {
        CountingIndicator indicator = new CountingIndicator();
        indicator.nativeEnable(1, "first");
        long window = windowOf(indicator);
        indicator.update(2, "second");
        indicator.nativeEnable(3, "third");
        // Commands are handled in order: once a click comes through, the updates were handled.
        click(window);
        assertTrue(Desktop.eventually(() -> indicator.clicks.get() == 1));
        assertEquals(1, Desktop.windowsOfClass(CLASS));
        assertEquals(window, Win32Util.findWindow(CLASS, TITLE));
        disableAndWait(indicator);
    }

    @Test
    void twoIndicatorsHaveAWindowEach() {
        CountingIndicator first = new CountingIndicator();
        CountingIndicator second = new CountingIndicator();
        first.nativeEnable(0, "first");
        long firstWindow = windowOf(first);
        second.nativeEnable(0, "second");
        long secondWindow = windowOf(second, firstWindow);
        assertEquals(2, Desktop.windowsOfClass(CLASS));

        click(secondWindow);
        assertTrue(Desktop.eventually(() -> second.clicks.get() == 1));
        assertEquals(0, first.clicks.get());

        // The thread stays for the indicator still enabled.
        disableAndWait(first);
        assertTrue(Desktop.eventually(() -> Desktop.windowsOfClass(CLASS) == 1));
        assertNotNull(indicatorThread());
        click(secondWindow);
        assertTrue(Desktop.eventually(() -> second.clicks.get() == 2));
        disableAndWait(second);
    }

    @Test
    void aDisabledIndicatorCanBeEnabledAgainOnANewThread() {
        CountingIndicator indicator = new CountingIndicator();
        for (int round = 0; round < 3; round++) {
            indicator.nativeEnable(0, "round " + round);
            long window = windowOf(indicator);
            click(window);
            final int expected = round + 1;
            assertTrue(Desktop.eventually(() -> indicator.clicks.get() == expected));
            disableAndWait(indicator);
            // The thread ends with its last indicator; the class stays registered for the next one.
            assertNoIndicatorLeft();
        }
    }

    @Test
    void disablesThatMeetEachOtherOrAnEnableBeforeTheThreadRuns() {
        CountingIndicator never = new CountingIndicator();
        never.nativeDisable();
        assertFalse(never.isEnabled());

        CountingIndicator indicator = new CountingIndicator();
        indicator.nativeEnable(0, "twice disabled");
        indicator.nativeDisable();
        indicator.nativeDisable();
        assertTrue(Desktop.eventually(() -> !indicator.isEnabled()));
        assertNoIndicatorLeft();

        // An enable that follows a disable before the thread has handled it keeps the indicator.
        indicator.nativeEnable(0, "kept");
        for (int i = 0; i < 50; i++) {
            indicator.nativeDisable();
            indicator.nativeEnable(0, "kept " + i);
        }
        long window = windowOf(indicator);
        click(window);
        assertTrue(Desktop.eventually(() -> indicator.clicks.get() == 1));
        assertTrue(indicator.isEnabled());
        assertEquals(1, Desktop.windowsOfClass(CLASS));
        disableAndWait(indicator);
    }

    @Test
    void anExceptionFromFireClickedIsReportedAndCleared() {
        AtomicInteger calls = new AtomicInteger();
        DesktopIndicator throwing = new DesktopIndicator(0, "throws") {
            @Override
            public void fireClicked() {
                calls.incrementAndGet();
                throw new IllegalStateException("listener failed on purpose");
            }
        };
        PrintStream original = System.err;
        ByteArrayOutputStream captured = new ByteArrayOutputStream();
        System.setErr(new PrintStream(captured, true, StandardCharsets.UTF_8));
        try {
            throwing.nativeEnable(0, "throws");
            long window = windowOf(throwing);
            click(window);
            click(window);
            assertTrue(Desktop.eventually(() -> calls.get() == 2), "the thread goes on after the exception");
        } finally {
            System.setErr(original);
        }
        assertTrue(captured.toString(StandardCharsets.UTF_8).contains("listener failed on purpose"), captured.toString());
        disableAndWait(throwing);
    }

    @Test
    void nullTooltipRaisesNullPointerException() {
        CountingIndicator indicator = new CountingIndicator();
        assertThrows(NullPointerException.class, () -> indicator.nativeEnable(0, null));
        assertFalse(indicator.isEnabled());
    }

    @Test
    void aFailingMessageQueueEndsTheIndicatorsInsteadOfSpinning() {
        MachineTool.set("fail.GetMessageA", "1450");
        CountingIndicator indicator = new CountingIndicator();
        try {
            indicator.nativeEnable(0, "no queue");
            assertTrue(Desktop.eventually(() -> !indicator.isEnabled()));
            assertNoIndicatorLeft();
        } finally {
            MachineTool.set("fail.GetMessageA", "");
        }
        indicator.nativeEnable(0, "queue back");
        click(windowOf(indicator));
        assertTrue(Desktop.eventually(() -> indicator.clicks.get() == 1));
        disableAndWait(indicator);
    }

    @Test
    void iconsAreLoadedFromIconFilesAndFreedOnce() throws Exception {
        String folder = Machine.freshDirectory("icons");
        // An icon file with two images (ICONDIR: reserved, type 1, count 2), a text file, and an
        // executable without icons.
        Files.write(Machine.host(folder + "\\app.ico"), new byte[] {0, 0, 1, 0, 2, 0, 16, 16, 0, 0, 1, 0, 32, 0});
        Files.writeString(Machine.host(folder + "\\readme.txt"), "not an icon");
        byte[] executable = new byte[128];
        executable[0] = 'M';
        executable[1] = 'Z';
        Files.write(Machine.host(folder + "\\tool.exe"), executable);

        int icon = DesktopIndicator.nativeLoadImage(folder + "\\app.ico");
        assertTrue(icon != 0 && icon != 1 && icon != -1, "icon handle " + icon);
        assertEquals(1, DesktopIndicator.nativeLoadImage(folder + "\\readme.txt"), "no icon format");
        assertEquals(-1, DesktopIndicator.nativeLoadImage(folder + "\\tool.exe"), "no icons");
        assertEquals(-1, DesktopIndicator.nativeLoadImage(folder + "\\missing.ico"));
        assertThrows(NullPointerException.class, () -> DesktopIndicator.nativeLoadImage(null));

        assertNotEquals(0, DesktopIndicator.nativeFreeImage(icon));
        assertEquals(0, DesktopIndicator.nativeFreeImage(icon), "freed already");
        assertEquals(0, DesktopIndicator.nativeFreeImage(1));
    }

    @Test
    void restoreWindowShowsTheWindowWithTheApplicationTitle() {
        CountingIndicator indicator = new CountingIndicator();
        indicator.nativeEnable(0, "restore");
        long window = windowOf(indicator);
        Pallux.SetTitle(TITLE);
        assertNotEquals(0, DesktopIndicator.nativeRestoreWindow());
        assertTrue(Desktop.window(window).visible);
        assertTrue(Desktop.window(window).foreground);
        assertEquals(1, Win32Util.showWindow(window, Win32Util.SW_HIDE), "it was visible");
        assertEquals(0, Win32Util.showWindow(window, Win32Util.SW_HIDE), "it was hidden");
        assertEquals(0, Win32Util.showWindow(0x7777777L, Win32Util.SW_SHOW));
        disableAndWait(indicator);
    }

    @Test
    void findWindowNeedsATitle() {
        assertThrows(NullPointerException.class, () -> Win32Util.findWindow(CLASS, null));
        assertEquals(0, Win32Util.findWindow(null, "No window has this title"));
    }
}
