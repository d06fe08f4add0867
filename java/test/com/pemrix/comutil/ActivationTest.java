package com.pemrix.comutil;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.Test;

/** Apartments, creation by programmatic identifier, running objects and object lifetimes. */
class ActivationTest extends AutomationTesting {
    @Test
    void apartmentResultsArePassedThrough() throws Exception {
        assertEquals(1, COMInterface.COMInit(COMInterface.COINIT_APARTMENTTHREADED));
        assertEquals(0x80010106, COMInterface.COMInit(COMInterface.COINIT_MULTITHREADED));
        COMInterface.COMUnInit();
    }

    @Test
    void activeObjectsAreFoundOnlyWhileRegistered() throws Exception {
        assertFalse(COMInterface.isActiveObject(DICTIONARY), "installed but not running");
        assertFalse(COMInterface.isActiveObject("winsim.recorder"));
        IDispatch recorder = create(RECORDER);
        recorder.call("RegisterActive");
        assertTrue(COMInterface.isActiveObject("winsim.recorder"));
        recorder.call("RevokeActive");
        assertFalse(COMInterface.isActiveObject(RECORDER));
        assertEquals("Can't get object clsid from progid",
                failure(() -> COMInterface.isActiveObject("No.Such.Server")).getMessage());
        assertNull(assertThrows(NullPointerException.class, () -> COMInterface.isActiveObject(null)).getMessage());
    }

    @Test
    void creationFailuresHaveTheirMessages() throws Exception {
        assertEquals("Can't get object clsid from progid",
                failure(() -> COMInterface.getIDispatch("No.Such.Server")).getMessage());
        assertNull(assertThrows(NullPointerException.class, () -> COMInterface.getIDispatch(null)).getMessage());
        assertEquals("Could not get IDispatch interface from object",
                failure(() -> COMInterface.getIDispatch("WinSim.PlainObject")).getMessage());

        Path dll = Machine.host("C:\\Windows\\System32\\winsimauto.dll");
        Path target = Files.readSymbolicLink(dll);
        Files.delete(dll);
        try {
            assertEquals("Could not create COM object instance",
                    failure(() -> COMInterface.getIDispatch(DICTIONARY)).getMessage());
        } finally {
            Files.createSymbolicLink(dll, target);
        }
    }

    @Test
    void injectedFailuresReachJavaAsTheirMessages() throws Exception {
        try {
            MachineTool.set("fail.CLSIDFromProgID", "0x800401F3");
            assertEquals("Can't get object clsid from progid",
                    failure(() -> COMInterface.getIDispatch(DICTIONARY)).getMessage());
            MachineTool.set("fail.CLSIDFromProgID", "");
            MachineTool.set("fail.CoCreateInstance", "0x80070005");
            assertEquals("Could not create COM object instance",
                    failure(() -> COMInterface.getIDispatch(DICTIONARY)).getMessage());
        } finally {
            MachineTool.set("fail.CLSIDFromProgID", "");
            MachineTool.set("fail.CoCreateInstance", "");
        }
        IDispatch recorder = create(RECORDER);
        recorder.call("RegisterActive");
        try {
            MachineTool.set("fail.GetActiveObject", "0x8007000E");
            assertFalse(COMInterface.isActiveObject(RECORDER));
        } finally {
            MachineTool.set("fail.GetActiveObject", "");
            recorder.call("RevokeActive");
        }
    }

    @Test
    void aThreadWithoutComCannotCreate() throws Exception {
        AtomicReference<Throwable> seen = new AtomicReference<>();
        Thread thread = new Thread(() -> {
            try {
                COMInterface.getIDispatch(DICTIONARY);
            } catch (Throwable t) {
                seen.set(t);
            }
        });
        thread.start();
        thread.join();
        assertEquals("Could not create COM object instance", seen.get().getMessage());
    }

    @Test
    void objectsLiveUntilReleasedAndChildrenOutliveTheirParent() throws Exception {
        long before = MachineTool.counter("automation.alive.Recorder");
        IDispatch parent = COMInterface.getIDispatch(RECORDER);
        parent.call("Respond", "dispatch:new");
        IDispatch child = (IDispatch) parent.get("Child");
        assertEquals(before + 2, MachineTool.counter("automation.alive.Recorder"));
        IDispatch.release(parent.handle());
        assertEquals(before + 1, MachineTool.counter("automation.alive.Recorder"));
        child.call("Respond", "i4:3");
        assertEquals(3, child.get("Anything"));
        IDispatch.release(child.handle());
        assertEquals(before, MachineTool.counter("automation.alive.Recorder"));

        for (int i = 0; i < 200; i++) {
            IDispatch.release(COMInterface.getIDispatch(DICTIONARY).handle());
        }
    }
}
