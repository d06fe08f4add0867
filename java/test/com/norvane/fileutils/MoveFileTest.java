package com.norvane.fileutils;

import static com.norvane.fileutils.Win32FileNatives.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import com.pemrix.testsupport.SecurityDescriptors;
import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.UserDefinedFileAttributeView;
import java.util.Arrays;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** MoveFileEx0: renames, copies between drives, the failure texts, and moves at restart. */
class MoveFileTest {
    private static final byte[] ADMINISTRATORS = SecurityDescriptors.sid("S-1-5-32-544");
    private static final byte[] SYSTEM = SecurityDescriptors.sid("S-1-5-18");

    @BeforeAll
    static void init() throws Exception {
        BackupApi.init();
        // Writing a security record opens the file for its system access list too.
        BackupApi.setPrivilege("SeSecurityPrivilege", true);
    }

    private static String freshDirectoryOn(char drive, String name) throws IOException {
        String c = Machine.freshDirectory(name);
        if (drive == 'C') {
            return c;
        }
        String path = drive + c.substring(1);
        Path host = Machine.root().resolve("drive_" + Character.toLowerCase(drive));
        for (String part : path.substring(3).split("\\\\")) {
            host = host.resolve(part);
        }
        Files.createDirectories(host);
        return path;
    }

    private static byte[] securityRecord(String path) throws IOException {
        byte[] buffer = new byte[4096];
        long length = BackupApi.readSecurityDescriptor(path, buffer, buffer.length);
        return Arrays.copyOf(buffer, (int) length);
    }

    private static String message(String from, String to, int flags) {
        return assertThrows(IOException.class, () -> MoveFileEx0(from, to, flags)).getMessage();
    }

    @Test
    void acrossDrivesWithStreamsAttributesAndSecurity() throws Exception {
        String from = freshDirectoryOn('C', "from") + "\\report.doc";
        String to = freshDirectoryOn('D', "to") + "\\report.doc";
        Path source = Machine.host(from);
        Files.writeString(source, "contents");
        UserDefinedFileAttributeView streams = Files.getFileAttributeView(source, UserDefinedFileAttributeView.class);
        streams.write("DosStream.Zone.Identifier:$DATA", ByteBuffer.wrap("[ZoneTransfer]\0".getBytes(StandardCharsets.US_ASCII)));
        byte[] descriptor = SecurityDescriptors.descriptor(SecurityDescriptors.SE_DACL_PROTECTED, ADMINISTRATORS, SYSTEM,
                SecurityDescriptors.acl(SecurityDescriptors.ace(0, 0, 0x1F01FF, ADMINISTRATORS)));
        byte[] record = ByteBuffer.allocate(4 + descriptor.length).order(ByteOrder.LITTLE_ENDIAN)
                .putInt(BackupApi.FILE_ATTRIBUTE_HIDDEN | BackupApi.FILE_ATTRIBUTE_ARCHIVE).put(descriptor).array();
        BackupApi.writeSecurityDescriptor(from, record, 0, record.length);

        assertEquals("The system cannot move the file to a different disk drive.", message(from, to, 0));
        MoveFileEx0(from, to, MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH);

        assertFalse(Files.exists(source));
        Path target = Machine.root().resolve("drive_d").resolve(Machine.host(to.replace("D:", "C:")).toString()
                .substring(Machine.root().resolve("drive_c").toString().length() + 1));
        assertEquals("contents", Files.readString(target));
        UserDefinedFileAttributeView moved = Files.getFileAttributeView(target, UserDefinedFileAttributeView.class);
        ByteBuffer zone = ByteBuffer.allocate(64);
        moved.read("DosStream.Zone.Identifier:$DATA", zone);
        assertEquals("[ZoneTransfer]\0", new String(zone.array(), 0, zone.position(), StandardCharsets.US_ASCII));
        assertArrayEquals(record, securityRecord(to));
    }

    @Test
    void renameAndReplace() throws Exception {
        String dir = Machine.freshDirectory("replace");
        Files.writeString(Machine.host(dir + "\\new.txt"), "new");
        Files.writeString(Machine.host(dir + "\\old.txt"), "old");
        assertEquals("Cannot create a file when that file already exists.",
                message(dir + "\\new.txt", dir + "\\old.txt", 0));
        MoveFileEx0(dir + "\\new.txt", dir + "\\old.txt", MOVEFILE_REPLACE_EXISTING);
        assertEquals("new", Files.readString(Machine.host(dir + "\\old.txt")));
        assertFalse(Files.exists(Machine.host(dir + "\\new.txt")));
        MoveFileEx0(dir + "\\old.txt", dir + "\\renamed.txt", 0);
        assertEquals("new", Files.readString(Machine.host(dir + "\\renamed.txt")));
    }

    @Test
    void failuresCarryTheSystemTextWithoutItsLineBreak() throws Exception {
        String dir = Machine.freshDirectory("failures");
        assertEquals("The system cannot find the file specified.", message(dir + "\\missing", dir + "\\x", 0));
        assertEquals("The system cannot find the path specified.", message(dir + "\\a\\b", dir + "\\x", 0));
        Files.writeString(Machine.host(dir + "\\f"), "f");
        assertEquals("The parameter is incorrect.", message(dir + "\\f", null, 0));
        assertEquals("The parameter is incorrect.",
                message(dir + "\\f", null, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
        // A name with a NUL in it ends there, as a Windows string does.
        MoveFileEx0(dir + "\\f\0ignored", dir + "\\g\0ignored", 0);
        assertTrue(Files.exists(Machine.host(dir + "\\g")));
        assertEquals("", assertThrows(NullPointerException.class, () -> MoveFileEx0(null, dir + "\\x", 0))
                .getMessage());
    }

    @Test
    void aMoveAndADeletionCarriedOutAtRestart() throws Exception {
        String dir = Machine.freshDirectory("restart");
        Files.writeString(Machine.host(dir + "\\staged.dll"), "version 2");
        Files.writeString(Machine.host(dir + "\\live.dll"), "version 1");
        Files.writeString(Machine.host(dir + "\\leftover.tmp"), "temporary");
        MoveFileEx0(dir + "\\staged.dll", dir + "\\live.dll", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
        MoveFileEx0(dir + "\\leftover.tmp", null, MOVEFILE_DELAY_UNTIL_REBOOT);
        assertEquals("version 1", Files.readString(Machine.host(dir + "\\live.dll")));

        String recorded = MachineTool.run("reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                "PendingFileRenameOperations");
        assertTrue(recorded.contains("\\??\\" + dir + "\\staged.dll"), recorded);

        MachineTool.run("restart");
        assertEquals("version 2", Files.readString(Machine.host(dir + "\\live.dll")));
        assertFalse(Files.exists(Machine.host(dir + "\\staged.dll")));
        assertFalse(Files.exists(Machine.host(dir + "\\leftover.tmp")));
    }

    @Test
    void restartMovesAreForAdministratorsOnly() throws Exception {
        String dir = Machine.freshDirectory("user");
        Files.writeString(Machine.host(dir + "\\f"), "f");
        MachineTool.set("administrator", "no");
        try {
            assertEquals("Access is denied.", message(dir + "\\f", null, MOVEFILE_DELAY_UNTIL_REBOOT));
        } finally {
            MachineTool.set("administrator", "yes");
        }
    }
}
