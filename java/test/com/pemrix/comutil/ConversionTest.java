package com.pemrix.comutil;

import static org.junit.jupiter.api.Assertions.*;

import org.junit.jupiter.api.Test;

/** Java arguments as the server receives them, and every kind of result converted back. */
class ConversionTest extends AutomationTesting {
    @Test
    void argumentsArriveLastFirstAsIntAndBstr() throws Exception {
        IDispatch recorder = create(RECORDER);
        assertNull(IDispatch.invoke(recorder.handle(), "Method", new Object[] {"text", 5}, IDispatch.METHOD));
        assertEquals("Method flags=1 lcid=2048 args=[VT_INT:5, VT_BSTR:\"text\"] named=[] result=yes exception=yes argerr=yes",
                recorded(recorder, 0));
        IDispatch.invoke(recorder.handle(), "Property", new Object[] {"k", "\u00e9t\u00e9"}, IDispatch.PROPERTYPUT);
        assertEquals("Property flags=4 lcid=2048 args=[VT_BSTR:\"\u00e9t\u00e9\", VT_BSTR:\"k\"] named=[-3] result=yes exception=yes argerr=yes",
                recorded(recorder, 1));
        IDispatch.invoke(recorder.handle(), "Property", new Object[] {7}, IDispatch.PROPERTYGET);
        assertEquals("Property flags=2 lcid=2048 args=[VT_INT:7] named=[] result=yes exception=yes argerr=yes",
                recorded(recorder, 2));
        // No arguments, null or empty alike; a put without arguments names none.
        IDispatch.invoke(recorder.handle(), "None", null, IDispatch.METHOD);
        IDispatch.invoke(recorder.handle(), "None", new Object[0], IDispatch.PROPERTYPUT);
        assertEquals("None flags=1 lcid=2048 args=[] named=[] result=yes exception=yes argerr=yes", recorded(recorder, 3));
        assertEquals("None flags=4 lcid=2048 args=[] named=[] result=yes exception=yes argerr=yes", recorded(recorder, 4));
        // A string is cut at an embedded NUL, as the wide copy is.
        IDispatch.invoke(recorder.handle(), "Cut", new Object[] {"ab\u0000cd"}, IDispatch.METHOD);
        assertEquals("Cut flags=1 lcid=2048 args=[VT_BSTR:\"ab\"] named=[] result=yes exception=yes argerr=yes",
                recorded(recorder, 5));
        IDispatch.invokeVoid(recorder.handle(), "Plain");
        assertEquals("Plain flags=1 lcid=2048 args=[] named=[] result=no exception=no argerr=no", recorded(recorder, 6));
    }

    @Test
    void unconvertibleArgumentsMakeNoCall() throws Exception {
        IDispatch recorder = create(RECORDER);
        Exception e = failure(() -> recorder.call("Method", "a", Boolean.TRUE));
        assertEquals("cannot convert class to variant", e.getMessage());
        e = failure(() -> recorder.call("Method", 5L));
        assertEquals("cannot convert class to variant", e.getMessage());
        NullPointerException npe = assertThrows(NullPointerException.class, () -> recorder.call("Method", "a", null));
        assertEquals("", npe.getMessage());
        assertEquals(0, recorder.get("CallCount"));
    }

    private Object answer(String text) throws Exception {
        IDispatch recorder = recorderAnswering(text);
        return adopt(recorder.get("Value"));
    }

    private String refusal(String text) throws Exception {
        IDispatch recorder = recorderAnswering(text);
        return failure(() -> recorder.get("Value")).getMessage();
    }

    @Test
    void scalarResultsFollowTheTable() throws Exception {
        assertNull(answer("empty"));
        assertNull(answer("null"));
        assertEquals(Integer.valueOf(-42), answer("i4:-42"));
        assertEquals("r\u00e9sultat", answer("bstr:\"r\u00e9sultat\""));
        assertEquals("", answer("bstr:null"));
        assertEquals(Boolean.TRUE, answer("bool:-1"));
        assertEquals(Boolean.TRUE, answer("bool:1"));
        assertEquals(Boolean.FALSE, answer("bool:0"));
        IDispatch child = (IDispatch) answer("dispatch:new");
        assertEquals(0, child.get("CallCount"));
    }

    @Test
    void otherResultTypesAreRefused() throws Exception {
        for (String text : new String[] {"i2:1", "r4:1.5", "r8:1.5", "cy:1", "date:1", "error:5", "unknown:self",
                "decimal:3", "i1:1", "ui1:1", "ui2:1", "ui4:1", "i8:1", "ui8:1", "int:1", "uint:1",
                "byref:i4:1", "byref:bstr:\"x\"", "byref:variant:i4:1", "array<variant>null",
                "byref:array<variant>(0..0)[i4:1]"}) {
            assertEquals("unsupported return variant", refusal(text), text);
        }
    }

    @Test
    void arraysBecomeJavaArraysTypedByTheirFirstElement() throws Exception {
        Object strings = answer("array<variant>(1..3)[bstr:\"a\", bstr:\"b\", bstr:\"c\"]");
        assertArrayEquals(new String[] {"a", "b", "c"}, (String[]) strings);
        assertNull(answer("array<variant>(5..4)[]"));
        assertArrayEquals(new Integer[] {1, 2}, (Integer[]) answer("array<i4>(0..1)[i4:1, i4:2]"));
        assertArrayEquals(new String[] {"x", ""}, (String[]) answer("array<bstr>(-1..0)[bstr:\"x\", bstr:null]"));
        assertArrayEquals(new Boolean[] {true, false}, (Boolean[]) answer("array<bool>(0..1)[bool:-1, bool:0]"));
        IDispatch[] objects = (IDispatch[]) answer("array<dispatch>(0..1)[dispatch:new, dispatch:null]");
        for (IDispatch object : objects) {
            adopt(object);
        }
        assertEquals(0, objects[0].get("CallCount"));
        // Nested arrays, and a null element ending the whole conversion.
        Object[] nested = (Object[]) answer("array<variant>(0..1)[array<variant>(0..0)[i4:1], array<variant>(0..0)[i4:2]]");
        assertArrayEquals(new Integer[] {2}, (Integer[]) nested[1]);
        assertNull(answer("array<variant>(0..1)[bstr:\"a\", empty]"));
    }

    @Test
    void multiDimensionalArraysNestByDimension() throws Exception {
        // Written in memory order: dimension 1 (rows 1..2) varies fastest.
        String[][] table = (String[][]) answer("array<variant>(1..2, 0..2)[bstr:\"r1c0\", bstr:\"r2c0\", bstr:\"r1c1\", "
                + "bstr:\"r2c1\", bstr:\"r1c2\", bstr:\"r2c2\"]");
        assertEquals(2, table.length);
        assertArrayEquals(new String[] {"r1c0", "r1c1", "r1c2"}, table[0]);
        assertArrayEquals(new String[] {"r2c0", "r2c1", "r2c2"}, table[1]);
        assertNull(answer("array<i4>(0..1, 3..2)[]"));
    }

    @Test
    void arraysOfOtherElementsOrMixedClassesFailWithoutLeaking() throws Exception {
        assertEquals("unsupported return variant", refusal("array<r8>(0..1)[r8:1, r8:2]"));
        assertEquals("unsupported return variant", refusal("array<i2>(0..0)[i2:1]"));
        assertEquals("unsupported return variant", refusal("array<variant>(0..1)[i4:1, r8:2]"));
        IDispatch recorder = recorderAnswering("array<variant>(0..2)[bstr:\"a\", i4:2, bstr:\"c\"]");
        assertThrows(ArrayStoreException.class, () -> recorder.get("Value"));
        IDispatch objects = recorderAnswering("array<variant>(0..1)[dispatch:new, i4:1]");
        assertThrows(ArrayStoreException.class, () -> objects.get("Value"));
    }
}
