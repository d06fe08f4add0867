package com.pemrix.testsupport.gate;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import org.junit.jupiter.api.Test;

/**
 * Runs one misbehaving native, chosen by the system property "gate.probe": the test itself passes,
 * so a failed run can only come from the gate that reads the JNI checker's reports.
 */
class JniGateProbe {
    static {
        System.loadLibrary("jnigateprobe");
    }

    static native int insideCriticalRegion(byte[] array);

    static native void withExceptionPending();

    static native int tooManyLocalReferences();

    static native int wellBehaved(byte[] array);

    @Test
    void probe() {
        String probe = System.getProperty("gate.probe", "none");
        switch (probe) {
            case "critical":
                assertEquals(7, insideCriticalRegion(new byte[7]));
                break;
            case "pending":
                assertThrows(IllegalStateException.class, JniGateProbe::withExceptionPending);
                break;
            case "localrefs":
                assertEquals(64, tooManyLocalReferences());
                break;
            default:
                assertEquals(3, wellBehaved(new byte[3]));
        }
    }
}
