package com.pemrix.testsupport;

import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;
import java.util.stream.Stream;

/**
 * What a machine holds below some directories, one line per entry: its path, the attribute bits
 * a restore carries, and each record of its backup stream (data, alternate streams, security)
 * with its length and digest. Two machines hold the same files exactly when their inventories are
 * equal. Runs in the test's JVM for its own machine, or as a program for another:
 * {@code WINSIM_ROOT=... java ... com.pemrix.testsupport.Inventory C:\dir ...}.
 */
public final class Inventory {
    /** Attribute bits compared: R, H, S, directory, archive, temporary, offline, not indexed, encrypted. */
    private static final int COMPARED = 0x1 | 0x2 | 0x4 | 0x10 | 0x20 | 0x100 | 0x1000 | 0x2000 | 0x4000;
    private static final int DIRECTORY = 0x10;
    private static final int ENCRYPTED = 0x4000;

    private Inventory() {}

    public static void main(String[] args) throws Exception {
        for (String line : of(args)) {
            System.out.println(line);
        }
    }

    public static List<String> of(String... roots) throws Exception {
        BackupApi.init();
        for (String privilege : new String[] {"SeBackupPrivilege", "SeSecurityPrivilege"}) {
            BackupApi.setPrivilege(privilege, true);
        }
        List<String> lines = new ArrayList<>();
        for (String root : roots) {
            Path base = Machine.host(root);
            List<Path> paths;
            try (Stream<Path> walk = Files.walk(base)) {
                paths = walk.sorted().toList();
            }
            for (Path path : paths) {
                String relative = base.relativize(path).toString().replace('/', '\\');
                String windows = relative.isEmpty() ? root : root + "\\" + relative;
                lines.add(line(windows));
            }
        }
        return lines;
    }

    private static String line(String path) throws Exception {
        StringBuilder line = new StringBuilder(path);
        int attributes = BackupApi.GetFileAttributes(path);
        line.append("\tattributes=0x").append(Integer.toHexString(attributes & COMPARED));
        if ((attributes & ENCRYPTED) != 0) {
            // Its contents are readable only in their raw form; its security comes on its own.
            byte[] security = new byte[1 << 16];
            long length = BackupApi.readSecurityDescriptor(path, security, security.length);
            return line.append("\traw=").append(digest(rawForm(path, (attributes & DIRECTORY) != 0)))
                    .append("\tsecurity=").append(digest(java.util.Arrays.copyOfRange(security, 4, (int) length)))
                    .toString();
        }
        for (StreamRecord record : StreamRecord.parse(backupStream(path))) {
            String name = record.id == 1 ? "data" : record.id == 3 ? "security" : record.id + record.name;
            line.append('\t').append(name).append('=').append(record.data.length).append(':')
                    .append(digest(record.data));
        }
        return line.toString();
    }

    private static String digest(byte[] data) throws Exception {
        return HexFormat.of().formatHex(MessageDigest.getInstance("SHA-256").digest(data));
    }

    /** Receives an encrypted entry's raw form from the natives. */
    public static final class RawSink {
        final ByteArrayOutputStream out = new ByteArrayOutputStream();

        public int nextBlock(byte[] buffer, int count) {
            out.write(buffer, 0, count);
            return 0;
        }
    }

    private static byte[] rawForm(String path, boolean directory) throws IOException {
        long context = BackupApi.OpenEncryptedFileRaw(path, directory ? BackupApi.CREATE_FOR_DIR : 0);
        RawSink sink = new RawSink();
        try {
            int result = BackupApi.ReadEncryptedFileRaw(sink, context, new byte[1 << 16]);
            if (result != 0) {
                throw new IOException("raw export of " + path + " failed: " + result);
            }
        } finally {
            BackupApi.CloseEncryptedFileRaw(context);
        }
        return sink.out.toByteArray();
    }

    private static byte[] backupStream(String path) throws IOException {
        long handle = BackupApi.CreateFile(path, BackupApi.GENERIC_READ | BackupApi.READ_CONTROL
                | BackupApi.ACCESS_SYSTEM_SECURITY, BackupApi.FILE_SHARE_READ, 0, BackupApi.OPEN_EXISTING,
                BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        byte[] buffer = new byte[1 << 16];
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        try {
            for (int n; (n = BackupApi.BackupRead(context, handle, buffer, 0, buffer.length, false, true)) > 0;) {
                out.write(buffer, 0, n);
            }
        } finally {
            BackupApi.BackupRead(context, handle, buffer, 0, 0, true, true);
        }
        return out.toByteArray();
    }

    /** The inventory of another machine, taken by a JVM of its own there. */
    public static List<String> of(EmulatedMachine machine, String... roots) {
        List<String> command = new ArrayList<>(List.of(System.getProperty("java.home") + "/bin/java",
                "-Djava.library.path=" + EmulatedMachine.env("WINSIM_BIN"), "-cp",
                EmulatedMachine.env("TEST_CLASSPATH"), Inventory.class.getName()));
        command.addAll(List.of(roots));
        String output = machine.run(command, java.time.Duration.ofSeconds(120), true);
        List<String> lines = new ArrayList<>();
        for (String line : output.split("\n")) {
            if (!line.isEmpty() && !line.startsWith("Picked up JAVA_TOOL_OPTIONS")) {
                lines.add(line);
            }
        }
        return lines;
    }
}
