package com.norvane.guinative;

import static com.norvane.guinative.IndicatorTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Desktop;
import com.pemrix.testsupport.MachineTool;
import java.util.List;
import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestMethodOrder;

/**
 * A window class that cannot be registered, or a window that cannot be created: the indicator
 * thread shows a message box, the indicator has no window, and a disable still ends it. The first
 * registration of the process is the one that fails, so this runs in order in a fresh process.
 */
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
class IndicatorWindowFailureTest {
    @Test
    @Order(1)
    void failedRegistrationShowsTheErrorCodeInHexadecimal() {
        MachineTool.set("fail.RegisterClassExA", "1450");
        CountingIndicator indicator = new CountingIndicator();
        try {
            indicator.nativeEnable(0, "no class");
            assertTrue(Desktop.eventually(() -> Desktop.messageBoxes().size() == 1));
        } finally {
            MachineTool.set("fail.RegisterClassExA", "");
        }
        String box = Desktop.messageBoxes().get(0);
        assertTrue(box.contains("caption=\"5aa\" text=\" \" type=0x0 answer=1"), box);
        assertEquals(0, Desktop.windowsOfClass(CLASS));
        assertTrue(indicator.isEnabled());
        disableAndWait(indicator);
        assertNoIndicatorLeft();
    }

    @Test
    @Order(2)
    void registrationIsTriedAgainForTheNextIndicator() {
        CountingIndicator indicator = new CountingIndicator();
        indicator.nativeEnable(0, "class now");
        click(windowOf(indicator));
        assertTrue(Desktop.eventually(() -> indicator.clicks.get() == 1));
        disableAndWait(indicator);
        assertEquals(1, Desktop.messageBoxes().size());
    }

    @Test
    @Order(3)
    void failedWindowCreationShowsAnEmptyBox() {
        MachineTool.set("fail.CreateWindowExA", "8");
        CountingIndicator indicator = new CountingIndicator();
        try {
            indicator.nativeEnable(0, "no window");
            assertTrue(Desktop.eventually(() -> Desktop.messageBoxes().size() == 2));
        } finally {
            MachineTool.set("fail.CreateWindowExA", "");
        }
        List<String> boxes = Desktop.messageBoxes();
        assertTrue(boxes.get(1).contains("caption=\" \" text=\" \""), boxes.get(1));
        assertEquals(0, Desktop.windowsOfClass(CLASS));
        disableAndWait(indicator);
        assertNoIndicatorLeft();
    }
}
