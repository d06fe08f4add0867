package com.pemrix.vaultcore.os.win32;

import static com.pemrix.vaultcore.os.win32.RegistryApi.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Values both ways through RegValue: what each type stores, byte for byte as another process
 * sees it, and how data that other programs left behind reads back.
 */
class RegistryValuesTest {
    private static final String PATH = "SOFTWARE\\RegistryValuesTest";
    private static final String TOOL_PATH = "HKLM\\" + PATH;
    private static long key;

    @BeforeAll
    static void open() throws Exception {
        RegistryApi.init();
        key = RegCreateKeyEx(HKEY_LOCAL_MACHINE, PATH, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS).ptr;
    }

    @AfterAll
    static void close() throws Exception {
        RegCloseKey(key);
    }

    private static RegValue value(String name, int type) {
        RegValue value = new RegValue();
        value.name = name;
        value.type = type;
        return value;
    }

    /** The value's type number and bytes as stored, read by the machine tool. */
    private static String raw(String name) {
        return MachineTool.run("reg", "raw", TOOL_PATH, name).trim();
    }

    /** Data as another program would write it: any type, any bytes. */
    private static void writeRaw(String name, String type, String hex) {
        MachineTool.run("reg", "set", TOOL_PATH, name, type, "hex:" + hex);
    }

    private static RegValue read(String name) throws Exception {
        RegValue value = new RegValue();
        RegGetValue(key, name, value);
        return value;
    }

    private static RegValue enumerated(String name) throws Exception {
        RegValue value = new RegValue();
        for (int i = 0; RegEnumValueW(key, i, value); i++) {
            if (value.name.equals(name)) {
                return value;
            }
        }
        throw new AssertionError("not enumerated: " + name);
    }

    @Test
    void everyTypeIsWrittenAndReadBack() throws Exception {
        RegValue text = value("Text", 1);
        text.stringValue = "abc";
        RegSetValueExW(key, text);
        assertEquals("1 6100620063000000", raw("Text"));  // 8 bytes, the NUL included
        RegValue readText = read("Text");
        assertEquals(1, readText.type);
        assertEquals("Text", readText.name);
        assertEquals("abc", readText.stringValue);

        RegValue expand = value("Expand", 2);
        expand.stringValue = "%SystemRoot%\\x";
        RegSetValueExW(key, expand);
        assertEquals("%SystemRoot%\\x", read("Expand").stringValue);  // references stay as they are

        RegValue binary = value("Binary", 3);
        binary.byteArray = new byte[] {1, 2, (byte) 0xFF};
        RegSetValueExW(key, binary);
        assertEquals("3 0102FF", raw("Binary"));
        assertArrayEquals(new byte[] {1, 2, (byte) 0xFF}, read("Binary").byteArray);

        RegValue number = value("Number", 4);
        number.dwordVal = 0x12345678;
        RegSetValueExW(key, number);
        assertEquals("4 78563412", raw("Number"));
        RegValue readNumber = read("Number");
        assertEquals(4, readNumber.type);
        assertEquals(305419896, readNumber.dwordVal);

        RegValue multi = value("Multi", 7);
        multi.stringArray = new String[] {"a", "bc"};
        RegSetValueExW(key, multi);
        assertEquals("7 610000006200630000000000", raw("Multi"));  // 12 bytes: a, NUL, b, c, NUL, NUL
        assertArrayEquals(new String[] {"a", "bc"}, read("Multi").stringArray);
        assertArrayEquals(new String[] {"a", "bc"}, enumerated("Multi").stringArray);

        // A null element is written as an empty string, which ends the list for a reader.
        multi.stringArray = new String[] {"a", null};
        RegSetValueExW(key, multi);
        assertEquals("7 6100000000000000", raw("Multi"));

        // Empty data: an empty array, an empty string.
        binary.byteArray = new byte[0];
        RegSetValueExW(key, binary);
        assertEquals("3", raw("Binary"));
        assertEquals(0, read("Binary").byteArray.length);
        text.stringValue = "";
        RegSetValueExW(key, text);
        assertEquals("1 0000", raw("Text"));
        assertEquals("", read("Text").stringValue);
        writeRaw("NoBytes", "REG_SZ", "");
        assertEquals("", read("NoBytes").stringValue);

        // The default value has the empty name.
        RegValue unnamed = value("", 1);
        unnamed.stringValue = "default";
        RegSetValueExW(key, unnamed);
        assertEquals("default", read("").stringValue);

        // Fields the type does not use are left as they were.
        RegValue reused = new RegValue();
        reused.stringValue = "kept";
        reused.byteArray = new byte[] {9};
        RegGetValue(key, "Number", reused);
        assertEquals("kept", reused.stringValue);
        assertArrayEquals(new byte[] {9}, reused.byteArray);
    }

    @Test
    void writingRefusesWhatItCannotStore() throws Exception {
        // Type 1 without a string writes nothing and raises nothing.
        RegSetValueExW(key, value("NeverWritten", 1));
        assertThrows(IllegalStateException.class, () -> raw("NeverWritten"));

        for (int type : new int[] {11, 0, -1, 5}) {
            assertEquals("Registry value type not supported",
                    assertThrows(Exception.class, () -> RegSetValueExW(key, value("Unsupported", type))).getMessage());
        }
        assertEquals("RegValue byte array is null",
                assertThrows(NullPointerException.class, () -> RegSetValueExW(key, value("B", 3))).getMessage());
        assertEquals("RegValue string array is null",
                assertThrows(NullPointerException.class, () -> RegSetValueExW(key, value("M", 7))).getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> RegSetValueExW(key, value(null, 4)))
                .getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> RegSetValueExW(key, null)).getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> RegGetValue(key, "Text", null)).getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> RegEnumValueW(key, 0, null)).getMessage());
        assertEquals("", assertThrows(NullPointerException.class, () -> RegGetValue(key, null, new RegValue()))
                .getMessage());
        assertEquals("The system cannot find the file specified.",
                assertThrows(Exception.class, () -> read("Missing")).getMessage());
        assertEquals("The handle is invalid.",
                assertThrows(Exception.class, () -> RegSetValueExW(0x7777, value("B", 4))).getMessage());

        // A list of more than 65000 units without an end within them is refused on reading.
        long own = RegCreateKeyEx(key, "Huge", 0, KEY_ALL_ACCESS).ptr;
        try {
            RegValue huge = value("Huge", 7);
            huge.stringArray = new String[] {"x".repeat(70_000)};
            RegSetValueExW(own, huge);
            assertEquals("illegal cstring size returned",
                    assertThrows(Exception.class, () -> RegGetValue(own, "Huge", new RegValue())).getMessage());
            assertEquals("illegal cstring size returned",
                    assertThrows(Exception.class, () -> RegEnumValueW(own, 0, new RegValue())).getMessage());
        } finally {
            RegCloseKey(own);
        }
    }

    /** Data that Windows lets any program store: every read stays within the data. */
    @Test
    void dataOtherProgramsWroteReadsWithinItsSize() throws Exception {
        writeRaw("OddString", "REG_SZ", "61,00,62");  // 3 bytes: "a" and half a unit
        writeRaw("Unended", "REG_SZ", "61,00,62,00");  // no NUL
        writeRaw("OpenList", "REG_MULTI_SZ", "61,00,00,00,62,00");  // no closing pair
        writeRaw("BareList", "REG_MULTI_SZ", "61,00,62,00");  // no NUL at all
        writeRaw("OddList", "REG_MULTI_SZ", "61,00,00,00,62");
        writeRaw("EmptyList", "REG_MULTI_SZ", "");
        writeRaw("ShortNumber", "REG_DWORD", "34,12");
        writeRaw("ByteNumber", "REG_DWORD", "7F");
        writeRaw("Nothing", "REG_NONE", "");
        writeRaw("Quad", "REG_QWORD", "01,02,03,04,05,06,07,08");
        writeRaw("BigEndian", "REG_DWORD_BIG_ENDIAN", "12,34,56,78");
        writeRaw("OddBinary", "REG_BINARY", "01,02,03");

        for (boolean viaEnumeration : new boolean[] {false, true}) {
            Reader reader = viaEnumeration ? RegistryValuesTest::enumerated : RegistryValuesTest::read;
            assertEquals("a", reader.read("OddString").stringValue);
            assertEquals("ab", reader.read("Unended").stringValue);
            assertArrayEquals(new String[] {"a", "b"}, reader.read("OpenList").stringArray);
            assertArrayEquals(new String[] {"ab"}, reader.read("BareList").stringArray);
            assertArrayEquals(new String[] {"a"}, reader.read("OddList").stringArray);
            assertArrayEquals(new String[] {null}, reader.read("EmptyList").stringArray);
            assertEquals(0x1234, reader.read("ShortNumber").dwordVal);
            assertEquals(0x7F, reader.read("ByteNumber").dwordVal);
            RegValue nothing = reader.read("Nothing");
            assertEquals(0, nothing.type);
            assertEquals(0, nothing.dwordVal);
            RegValue quad = reader.read("Quad");
            assertEquals(11, quad.type);
            assertEquals(0x04030201, quad.dwordVal);  // the first four bytes
            assertEquals(0x78563412, reader.read("BigEndian").dwordVal);
            assertArrayEquals(new byte[] {1, 2, 3}, reader.read("OddBinary").byteArray);
        }
    }

    private interface Reader {
        RegValue read(String name) throws Exception;
    }

    @Test
    void copyValueCopiesBytesForBytesUnderItsOwnName() throws Exception {
        writeRaw("OddCopy", "REG_SZ", "61,00,62");
        writeRaw("Custom", "0x12345", "DE,AD,BE,EF,01");
        long target = RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\RegistryValuesTest\\Target", 0, KEY_ALL_ACCESS).ptr;
        try {
            RegCopyValue(key, "OddCopy", target);
            RegCopyValue(key, "custom", target);
            String targetPath = "HKCU\\Software\\RegistryValuesTest\\Target";
            assertEquals(raw("OddCopy"), MachineTool.run("reg", "raw", targetPath, "OddCopy").trim());
            assertEquals("74565 DEADBEEF01", MachineTool.run("reg", "raw", targetPath, "Custom").trim());
            assertEquals("The system cannot find the file specified.",
                    assertThrows(Exception.class, () -> RegCopyValue(key, "Missing", target)).getMessage());
            assertEquals("", assertThrows(NullPointerException.class, () -> RegCopyValue(key, null, target))
                    .getMessage());
        } finally {
            RegCloseKey(target);
        }
    }

    @Test
    void enumerationReachesTheEndIncludingTheLongestName() throws Exception {
        long list = RegCreateKeyEx(key, "Enumerated", 0, KEY_ALL_ACCESS).ptr;
        try {
            String longest = "n".repeat(16383);
            for (String name : new String[] {"first", longest, "last"}) {
                RegValue v = value(name, 4);
                v.dwordVal = name.length();
                RegSetValueExW(list, v);
            }
            RegCloseKey(RegCreateKeyEx(list, "b", 0, KEY_ALL_ACCESS).ptr);
            RegCloseKey(RegCreateKeyEx(list, "A", 0, KEY_ALL_ACCESS).ptr);

            List<String> names = new ArrayList<>();
            RegValue v = new RegValue();
            int i = 0;
            while (RegEnumValueW(list, i++, v)) {
                names.add(v.name);
                assertEquals(v.name.length(), v.dwordVal);
            }
            assertEquals(List.of("first", longest, "last"), names);
            assertFalse(RegEnumValueW(list, 3, v));
            assertFalse(RegEnumValueW(list, 1000, v));

            assertEquals("A", RegEnumKeyExW(list, 0));
            assertEquals("b", RegEnumKeyExW(list, 1));
            assertNull(RegEnumKeyExW(list, 2));
            assertEquals("The handle is invalid.",
                    assertThrows(Exception.class, () -> RegEnumValueW(0x7777, 0, new RegValue())).getMessage());
            assertEquals("The handle is invalid.",
                    assertThrows(Exception.class, () -> RegEnumKeyExW(0x7777, 0)).getMessage());
        } finally {
            RegCloseKey(list);
        }
    }
}
