package com.pemrix.comutil;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;

/**
 * Base of the COM bridge tests: the test thread is in a single-threaded apartment for each
 * test, and afterwards every server object, BSTR and safe array made during the test is gone.
 */
abstract class AutomationTesting {
    static final String DICTIONARY = "WinSim.Dictionary";
    static final String RECORDER = "WinSim.Recorder";

    private static final String[] COUNTERS = {
        "automation.alive.Dictionary", "automation.alive.Recorder", "automation.alive.PlainObject",
        "automation.alive.ClassFactory", "oleaut32.bstr.alive", "oleaut32.safearray.alive",
    };

    private final List<IDispatch> made = new ArrayList<>();
    private long[] before;

    @BeforeAll
    static void initialise() {
        COMInterface.init();
    }

    @BeforeEach
    void enterApartment() {
        before = counters();
        assertEquals(0, COMInterface.COMInit(COMInterface.COINIT_APARTMENTTHREADED));
    }

    @AfterEach
    void leaveApartment() {
        for (IDispatch object : made) {
            IDispatch.release(object.handle());
        }
        COMInterface.COMUnInit();
        long[] after = counters();
        for (int i = 0; i < COUNTERS.length; i++) {
            assertEquals(before[i], after[i], COUNTERS[i] + " is not back where it was");
        }
    }

    private static long[] counters() {
        long[] values = new long[COUNTERS.length];
        for (int i = 0; i < COUNTERS.length; i++) {
            values[i] = MachineTool.counter(COUNTERS[i]);
        }
        return values;
    }

    /** A new object that is released after the test. */
    IDispatch create(String progId) throws Exception {
        IDispatch object = COMInterface.getIDispatch(progId);
        assertNotNull(object);
        made.add(object);
        return object;
    }

    /** Releases after the test an object that a call returned. */
    <T> T adopt(T object) {
        if (object instanceof IDispatch) {
            made.add((IDispatch) object);
        }
        return object;
    }

    /** A recorder that answers every later call with the VARIANT that text describes. */
    IDispatch recorderAnswering(String text) throws Exception {
        IDispatch recorder = create(RECORDER);
        recorder.call("Respond", text);
        return recorder;
    }

    /** What the recorder recorded of its call number index, from 0. */
    static String recorded(IDispatch recorder, int index) throws Exception {
        return (String) recorder.get("Call", index);
    }

    static Exception failure(Invocation invocation) {
        return assertThrows(Exception.class, invocation::run);
    }

    interface Invocation {
        void run() throws Exception;
    }
}
