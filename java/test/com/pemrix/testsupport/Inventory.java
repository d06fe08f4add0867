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
    /** Attribute bits compared: read-only, hidden, system, directory, archive, temporary, offline, not indexed, encrypted. */
    private static final int COMPARED = 0x1 | 0x2 | 0x4 | 0x10 | 0x20 | 0x100 | 0x1000 | 0x2000 | 0x4000;

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
        line.append("\tattributes=0x").append(Integer.toHexString(BackupApi.GetFileAttributes(path) & COMPARED));
        for (StreamRecord record : StreamRecord.parse(backupStream(path))) {
            String name = record.id == 1 ? "data" : record.id == 3 ? "security" : record.id + record.name;
            line.append('\t').append(name).append('=').append(record.data.length).append(':')
                    .append(HexFormat.of().formatHex(MessageDigest.getInstance("SHA-256").digest(record.data)));
        }
        return line.toString();
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
