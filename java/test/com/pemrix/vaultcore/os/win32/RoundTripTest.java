package com.pemrix.vaultcore.os.win32;

import static com.pemrix.testsupport.SecurityDescriptors.*;
import static com.pemrix.vaultcore.os.win32.BackupApi.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.demo.TreeBackup;
import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.StreamRecord;
import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** A tree backed up with BackupRead and restored with BackupWrite comes back identical. */
class RoundTripTest {
    static final byte[] ADMINISTRATORS = sid("S-1-5-32-544");
    static final byte[] SYSTEM = sid("S-1-5-18");
    static final byte[] USERS = sid("S-1-5-32-545");
    static final byte[] ALICE = sid("S-1-5-21-1004336348-1177238915-682003330-1001");

    @BeforeAll
    static void init() throws Exception {
        BackupApi.init();
        TreeBackup.enableBackupPrivileges();
    }

    private static byte[] random(int size, long seed) {
        byte[] data = new byte[size];
        new Random(seed).nextBytes(data);
        return data;
    }

    /** Writes a file's data, named streams and (optionally) security in one backup sequence. */
    private static void create(String path, byte[] data, byte[] security, StreamRecord... named) throws Exception {
        List<StreamRecord> records = new ArrayList<>();
        if (security != null) {
            records.add(new StreamRecord(BACKUP_SECURITY_DATA, 2, "", security));
        }
        records.add(new StreamRecord(BACKUP_DATA, 0, "", data));
        records.addAll(List.of(named));
        BackupStreamTest.writeAll(path, StreamRecord.encodeAll(records), 1 << 20, true);
    }

    private static StreamRecord named(String name, byte[] data) {
        return new StreamRecord(BACKUP_ALTERNATE_DATA, 0, ":" + name + ":$DATA", data);
    }

    @Test
    void treeComesBackWithDataStreamsAttributesAndSecurity() throws Exception {
        String source = Machine.freshDirectory("roundtrip-source");
        byte[] restrictive = descriptor(SE_DACL_PROTECTED, ADMINISTRATORS, SYSTEM,
                acl(ace(0, 0, 0x1F01FF, ADMINISTRATORS), ace(0, 0, 0x1F01FF, SYSTEM)));
        byte[] withDeny = descriptor(0, ALICE, USERS,
                acl(ace(1, 0, 0x40000, USERS), ace(0, 0, 0x1F01FF, ALICE), ace(0, 0, 0x120089, USERS)));
        byte[] inheritable = descriptor(0, SYSTEM, ADMINISTRATORS, acl(ace(0, 3, 0x1F01FF, ADMINISTRATORS)));

        create(source + "\\empty.bin", new byte[0], null);
        create(source + "\\one.bin", new byte[] {42}, restrictive);
        create(source + "\\notes.txt", "notes".getBytes(StandardCharsets.UTF_8), withDeny,
                named("Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\n".getBytes(StandardCharsets.US_ASCII)),
                named("summary", random(3000, 1)));
        create(source + "\\medium.bin", random(1 << 20, 2), null);
        create(source + "\\big.bin", random(8 << 20, 3), inheritable,
                named("thumbnail", random(1 << 20, 4)), named("tag", "blue".getBytes(StandardCharsets.US_ASCII)));
        Files.createDirectories(Machine.host(source + "\\sub"));
        create(source + "\\sub\\nested.txt", random(4096, 5), withDeny);
        SetFileAttributes(source + "\\one.bin", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
        SetFileAttributes(source + "\\notes.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        SetFileAttributes(source + "\\medium.bin", FILE_ATTRIBUTE_NORMAL);
        SetFileAttributes(source + "\\sub", FILE_ATTRIBUTE_HIDDEN);
        byte[] subRecord = SecurityRecordTest.record(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY, inheritable);
        writeSecurityDescriptor(source + "\\sub", subRecord, 0, subRecord.length);

        TreeBackup backup = new TreeBackup(Machine::host, line -> {});
        ByteArrayOutputStream archive = new ByteArrayOutputStream();
        backup.backup(source, archive);
        String target = Machine.freshDirectory("roundtrip-target");
        int restored = backup.restore(new ByteArrayInputStream(archive.toByteArray()), target);

        List<String> entries = backup.entries(source);
        assertEquals(entries, backup.entries(target));
        assertEquals(entries.size(), restored);
        assertEquals(8, entries.size(), entries.toString());
        for (String relative : entries) {
            String from = TreeBackup.join(source, relative);
            String to = TreeBackup.join(target, relative);
            assertEquals(GetFileAttributes(from), GetFileAttributes(to), relative);
            assertArrayEquals(TreeBackup.securityRecord(from), TreeBackup.securityRecord(to), relative);
            assertEquals(StreamRecord.parse(BackupStreamTest.readAll(from, 1 << 20, true)),
                    StreamRecord.parse(BackupStreamTest.readAll(to, 1 << 20, true)), relative);
            if (Files.isRegularFile(Machine.host(from))) {
                assertArrayEquals(Files.readAllBytes(Machine.host(from)), Files.readAllBytes(Machine.host(to)));
            }
        }
        // The one-megabyte stream did not fit the file system's attribute room and still came back.
        List<StreamRecord> big = StreamRecord.parse(BackupStreamTest.readAll(target + "\\big.bin", 65536, false));
        assertEquals(List.of(":tag:$DATA", ":thumbnail:$DATA"), List.of(big.get(1).name, big.get(2).name));
        assertArrayEquals(random(1 << 20, 4), big.get(2).data);
        assertArrayEquals(restrictive, java.util.Arrays.copyOfRange(TreeBackup.securityRecord(target + "\\one.bin"),
                4, 4 + restrictive.length));
    }
}
