package com.pemrix.comutil;

import static org.junit.jupiter.api.Assertions.*;

import org.junit.jupiter.api.Test;

/** Failed calls: the message of every result code, invokeVoid's own mapping, bad handles and names. */
class InvokeTest extends AutomationTesting {
    private static final int[][] CODES_AND_ROWS = {
        {0x80020001, 0}, {0x80020003, 1}, {0x80020004, 2}, {0x80020005, 3}, {0x80020008, 4},
        {0x80020009, 5}, {0x8002000A, 6}, {0x8002000C, 7}, {0x8002000E, 8}, {0x8002000F, 9},
        {0x80020002, 10}, {0x80020006, 10}, {0x80020007, 10}, {0x8002000B, 10}, {0x8002000D, 10},
        {0x80004005, 10}, {1, 10}, {0x00020001, 10},
    };
    private static final String[] MESSAGES = {
        "Unknown interface", "The requested member does not exist", "Parameter not found", "Argument type mismatch",
        "Bad variant type", "Exception raised by com object", "Argument type overflow", "Unknown LCID",
        "Incorrect method arguments", "A required parameter was omitted", "Invoke failed",
    };

    @Test
    void everyResultCodeHasItsMessage() throws Exception {
        IDispatch recorder = create(RECORDER);
        for (int[] codeAndRow : CODES_AND_ROWS) {
            recorder.call("Fail", codeAndRow[0]);
            for (int type : new int[] {IDispatch.METHOD, IDispatch.PROPERTYPUT, IDispatch.PROPERTYGET}) {
                Exception e = failure(() -> IDispatch.invoke(recorder.handle(), "Member", new Object[] {"v"}, type));
                assertEquals(Exception.class, e.getClass());
                assertEquals(MESSAGES[codeAndRow[1]], e.getMessage(), Integer.toHexString(codeAndRow[0]));
            }
        }
    }

    @Test
    void invokeVoidRaisesExactlyOneExceptionOfItsOwnMapping() throws Exception {
        IDispatch recorder = create(RECORDER);
        int[] codes = {0x8002000E, 0x80020004, 0x80020009, 0x80020003, 1};
        String[] messages = {"Incorrect method arguments", "Parameter not found", "Invoke failed", "Invoke failed",
            "Invoke failed"};
        for (int i = 0; i < codes.length; i++) {
            recorder.call("Fail", codes[i]);
            Exception e = failure(() -> IDispatch.invokeVoid(recorder.handle(), "Member"));
            assertEquals(messages[i], e.getMessage());
        }
        recorder.call("Respond", "bstr:\"discarded\"");
        IDispatch.invokeVoid(recorder.handle(), "Member");
    }

    @Test
    void exceptionInformationFilledInByTheServerIsFreed() throws Exception {
        IDispatch recorder = create(RECORDER);
        recorder.call("Fail", 0x80020009);
        for (int i = 0; i < 100; i++) {
            assertEquals("Exception raised by com object", failure(() -> recorder.call("Member")).getMessage());
        }
        // The counters checked after the test show that its strings were freed.
    }

    @Test
    void unknownMembersAndInvalidTypes() throws Exception {
        IDispatch dictionary = create(DICTIONARY);
        assertEquals("Unknown method", failure(() -> dictionary.call("NoSuchMember")).getMessage());
        assertEquals("Unknown method", failure(() -> IDispatch.invokeVoid(dictionary.handle(), "NoSuchMember")).getMessage());
        IDispatch recorder = create(RECORDER);
        assertEquals("Invalid COM Invoke type",
                failure(() -> IDispatch.invoke(recorder.handle(), "Member", new Object[] {"a", 1}, 3)).getMessage());
        assertEquals("Invalid COM Invoke type", failure(() -> IDispatch.invoke(recorder.handle(), "Member", null, -1)).getMessage());
        assertEquals(0, recorder.get("CallCount"));
    }

    @Test
    void badHandlesAndNamesRaiseInsteadOfCrashing() throws Exception {
        IDispatch recorder = create(RECORDER);
        assertNull(assertThrows(NullPointerException.class, () -> IDispatch.invoke(0, "Member", null, 0)).getMessage());
        assertNull(assertThrows(NullPointerException.class, () -> IDispatch.invoke(recorder.handle(), null, null, 0)).getMessage());
        assertNull(assertThrows(NullPointerException.class, () -> IDispatch.invokeVoid(0, "Member")).getMessage());
        assertNull(assertThrows(NullPointerException.class, () -> IDispatch.release(0)).getMessage());
        // A handle that is not a live dispatch cell: never made, or released already.
        assertThrows(IllegalArgumentException.class, () -> IDispatch.invoke(0x1234_5678L, "Member", null, 0));
        assertThrows(IllegalArgumentException.class, () -> IDispatch.release(recorder.handle() + 8));
        IDispatch other = COMInterface.getIDispatch(RECORDER);
        IDispatch.release(other.handle());
        assertThrows(IllegalArgumentException.class, () -> IDispatch.invokeVoid(other.handle(), "Member"));
        assertThrows(IllegalArgumentException.class, () -> IDispatch.release(other.handle()));
    }

    @Test
    void anEmptyDispatchResultIsAnObjectThatCannotBeCalled() throws Exception {
        IDispatch recorder = recorderAnswering("dispatch:null");
        IDispatch empty = adopt((IDispatch) recorder.get("Nothing"));
        assertNotNull(empty);
        assertNull(assertThrows(NullPointerException.class, () -> empty.call("Member")).getMessage());
        assertThrows(NullPointerException.class, () -> IDispatch.invokeVoid(empty.handle(), "Member"));
    }
}
