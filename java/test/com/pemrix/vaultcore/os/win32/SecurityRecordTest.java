package com.pemrix.vaultcore.os.win32;

import static com.pemrix.testsupport.SecurityDescriptors.*;
import static com.pemrix.vaultcore.os.win32.BackupApi.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.util.ErrorCodeException;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.util.Arrays;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** readSecurityDescriptor and writeSecurityDescriptor: the security record and its limits. */
class SecurityRecordTest {
    static final byte[] ADMINISTRATORS = sid("S-1-5-32-544");
    static final byte[] SYSTEM = sid("S-1-5-18");
    static final byte[] USERS = sid("S-1-5-32-545");

    @BeforeAll
    static void init() throws Exception {
        BackupApi.init();
        setPrivilege("SeSecurityPrivilege", true);
    }

    private static String newFile(String name) throws IOException {
        String path = Machine.freshDirectory("security") + "\\" + name;
        Files.writeString(Machine.host(path), "guarded");
        return path;
    }

    static byte[] record(int attributes, byte[] descriptor) {
        ByteBuffer out = ByteBuffer.allocate(4 + descriptor.length).order(ByteOrder.LITTLE_ENDIAN);
        return out.putInt(attributes).put(descriptor).array();
    }

    static byte[] readRecord(String path) throws IOException {
        byte[] buffer = new byte[4096];
        long length = readSecurityDescriptor(path, buffer, buffer.length);
        return Arrays.copyOf(buffer, (int) length);
    }

    @Test
    void recordHoldsTheAttributesThenTheDescriptor() throws Exception {
        String path = newFile("r.txt");
        SetFileAttributes(path, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
        byte[] buffer = new byte[1024];
        long length = readSecurityDescriptor(path, buffer, buffer.length);
        ByteBuffer in = ByteBuffer.wrap(buffer).order(ByteOrder.LITTLE_ENDIAN);
        assertEquals(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, in.getInt(0));
        assertEquals(1, buffer[4], "descriptor revision");
        int control = in.getShort(6) & 0xFFFF;
        assertEquals(SE_SELF_RELATIVE | SE_DACL_PRESENT, control & (SE_SELF_RELATIVE | SE_DACL_PRESENT));
        assertTrue(in.getInt(8) > 0 && in.getInt(12) > 0 && in.getInt(20) > 0, "owner, group and DACL");
        assertEquals(0, in.getInt(16), "no SACL");
        assertTrue(length > 24 && length < buffer.length);
        // Exactly the needed room is enough.
        byte[] exact = new byte[(int) length];
        assertEquals(length, readSecurityDescriptor(path, exact, exact.length));
    }

    @Test
    void shortBuffersRaiseTheDocumentedFailures() throws Exception {
        String path = newFile("short.txt");
        IOException tooShort = assertThrows(IOException.class, () -> readSecurityDescriptor(path, new byte[8], 3));
        assertEquals("buffer length < 4", tooShort.getMessage());
        ErrorCodeException small = assertThrows(ErrorCodeException.class,
                () -> readSecurityDescriptor(path, new byte[12], 12));
        assertEquals(122, small.getErrorCode());
        assertEquals("The data area passed to a system call is too small.", small.getMessage());
        assertEquals("", assertThrows(NullPointerException.class,
                () -> readSecurityDescriptor(path, null, 100)).getMessage());
        // More room claimed than the array has would let Windows write past it.
        assertThrows(ArrayIndexOutOfBoundsException.class, () -> readSecurityDescriptor(path, new byte[16], 4096));

        ErrorCodeException missing = assertThrows(ErrorCodeException.class,
                () -> readSecurityDescriptor(path + ".gone", new byte[512], 512));
        assertEquals(2, missing.getErrorCode());
    }

    @Test
    void writeRestoresDescriptorAndAttributes() throws Exception {
        String path = newFile("w.txt");
        byte[] descriptor = descriptor(SE_DACL_PROTECTED, ADMINISTRATORS, SYSTEM,
                acl(ace(0, 0, 0x1F01FF, ADMINISTRATORS), ace(1, 0, 0x10000, USERS), ace(0, 3, 0x120089, USERS)));
        byte[] record = record(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE, descriptor);
        byte[] padded = new byte[record.length + 10];
        System.arraycopy(record, 0, padded, 6, record.length);
        writeSecurityDescriptor(path, padded, 6, 6 + record.length);
        assertArrayEquals(record, readRecord(path));
        assertTrue(Files.getAttribute(Machine.host(path), "user:NTACL") instanceof byte[]);
    }

    @Test
    void writeChecksTheRecordLength() throws Exception {
        String path = newFile("len.txt");
        IOException shortRecord = assertThrows(IOException.class,
                () -> writeSecurityDescriptor(path, new byte[32], 10, 13));
        assertEquals("buffer length < offset", shortRecord.getMessage());
        assertEquals("", assertThrows(NullPointerException.class,
                () -> writeSecurityDescriptor(path, null, 0, 20)).getMessage());
        assertThrows(ArrayIndexOutOfBoundsException.class, () -> writeSecurityDescriptor(path, new byte[16], 0, 40));
        assertThrows(ArrayIndexOutOfBoundsException.class, () -> writeSecurityDescriptor(path, new byte[16], -4, 8));

        // Four record bytes: a security stream of size 0, no descriptor, attributes still set.
        byte[] before = readRecord(path);
        byte[] attributesOnly = new byte[32];
        attributesOnly[10] = (byte) FILE_ATTRIBUTE_HIDDEN;
        writeSecurityDescriptor(path, attributesOnly, 10, 14);
        byte[] after = readRecord(path);
        assertEquals(FILE_ATTRIBUTE_HIDDEN, after[0]);
        assertArrayEquals(Arrays.copyOfRange(before, 4, before.length), Arrays.copyOfRange(after, 4, after.length));
    }

    @Test
    void attributesThatCannotBeRestoredAreReported() throws Exception {
        // procfs takes no extended attributes: the descriptor step has nothing to do, the
        // attribute step fails, and the caller must hear of it.
        byte[] attributesOnly = new byte[4];
        attributesOnly[0] = (byte) FILE_ATTRIBUTE_HIDDEN;
        IOException notRestored = assertThrows(IOException.class,
                () -> writeSecurityDescriptor("/proc/self/comm", attributesOnly, 0, 4));
        assertEquals("The request is not supported.", notRestored.getMessage());
    }

    @Test
    void writeNeedsTheSecurityPrivilegeAndAnExistingFile() throws Exception {
        String path = newFile("priv.txt");
        byte[] record = record(FILE_ATTRIBUTE_ARCHIVE,
                descriptor(0, SYSTEM, SYSTEM, acl(ace(0, 0, 0x1F01FF, SYSTEM))));
        setPrivilege("SeSecurityPrivilege", false);
        try {
            IOException notHeld = assertThrows(IOException.class,
                    () -> writeSecurityDescriptor(path, record, 0, record.length));
            assertEquals("A required privilege is not held by the client.", notHeld.getMessage());
        } finally {
            setPrivilege("SeSecurityPrivilege", true);
        }
        IOException missing = assertThrows(IOException.class,
                () -> writeSecurityDescriptor(path + ".gone", record, 0, record.length));
        assertEquals("The system cannot find the file specified.", missing.getMessage());
        // An open without sharing makes the write a sharing violation, as on Windows.
        long reader = CreateFile(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
        try {
            IOException shared = assertThrows(IOException.class,
                    () -> writeSecurityDescriptor(path, record, 0, record.length));
            assertEquals("The process cannot access the file because it is being used by another process.",
                    shared.getMessage());
        } finally {
            CloseHandle(reader);
        }
    }

    @Test
    void invalidDescriptorIsRefusedAndTheFileKeepsItsOwn() throws Exception {
        String path = newFile("bad.txt");
        byte[] before = readRecord(path);
        byte[] record = record(FILE_ATTRIBUTE_HIDDEN, new byte[] {1, 0, 4, (byte) 0x80, 99, 0, 0, 0, 0, 0, 0, 0,
                0, 0, 0, 0, 0, 0, 0, 0});
        IOException invalid = assertThrows(IOException.class,
                () -> writeSecurityDescriptor(path, record, 0, record.length));
        assertEquals("The security descriptor structure is invalid.", invalid.getMessage());
        assertArrayEquals(before, readRecord(path));
    }
}
