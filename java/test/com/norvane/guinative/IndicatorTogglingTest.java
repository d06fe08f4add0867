package com.norvane.guinative;

import static com.norvane.guinative.IndicatorTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Desktop;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.Test;

/** Indicators enabled and disabled as fast as two threads can, against the indicator thread's comings and goings. */
class IndicatorTogglingTest {
    private static final int TOGGLES = 1000;

    @Test
    void aThousandTogglesFromTwoThreadsLeaveNothingBehind() throws Exception {
        DesktopIndicator shared = new DesktopIndicator(0, "shared");
        CyclicBarrier start = new CyclicBarrier(2);
        AtomicReference<Throwable> failure = new AtomicReference<>();
        List<Thread> togglers = new ArrayList<>();
        List<DesktopIndicator> own = new ArrayList<>();
        for (int t = 0; t < 2; t++) {
            DesktopIndicator mine = new DesktopIndicator(t, "toggler " + t);
            own.add(mine);
            togglers.add(new Thread(() -> {
                try {
                    start.await();
                    for (int i = 0; i < TOGGLES; i++) {
                        DesktopIndicator indicator = i % 3 == 0 ? shared : mine;
                        indicator.nativeEnable(i, "toggle " + i);
                        if (i % 7 == 0) {
                            indicator.nativeDisable();
                        }
                        indicator.nativeDisable();
                    }
                } catch (Throwable e) {
                    failure.set(e);
                }
            }, "toggler " + t));
        }
        assertTimeoutPreemptively(Duration.ofSeconds(120), () -> {
            togglers.forEach(Thread::start);
            for (Thread toggler : togglers) {
                toggler.join();
            }
        });
        assertNull(failure.get());
        for (DesktopIndicator indicator : List.of(shared, own.get(0), own.get(1))) {
            assertTrue(Desktop.eventually(() -> !indicator.isEnabled()), "an indicator stayed enabled");
        }
        assertNoIndicatorLeft();
        assertEquals(List.of(), Desktop.messageBoxes());

        // And the machinery still works afterwards.
        CountingIndicator after = new CountingIndicator();
        after.nativeEnable(0, "after");
        click(windowOf(after));
        assertTrue(Desktop.eventually(() -> after.clicks.get() == 1));
        disableAndWait(after);
        assertNoIndicatorLeft();
    }
}
