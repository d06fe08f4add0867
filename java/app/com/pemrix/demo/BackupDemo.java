package com.pemrix.demo;

import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * Backs up a directory of the emulated machine into one archive file and restores it elsewhere,
 * printing each step. Usage: BackupDemo [source directory] (default: a sample tree it creates).
 */
public final class BackupDemo {
    private BackupDemo() {}

    static Path host(String windowsPath) {
        Path path = Paths.get(System.getenv("WINSIM_ROOT"), "drive_c");
        for (String part : windowsPath.substring(3).split("\\\\")) {
            if (!part.isEmpty()) {
                path = path.resolve(part);
            }
        }
        return path;
    }

    private static void writeStream(String path, int id, String name, byte[] data, OutputStream out)
            throws IOException {
        byte[] nameBytes = name.getBytes(StandardCharsets.UTF_16LE);
        java.nio.ByteBuffer header = java.nio.ByteBuffer.allocate(20).order(java.nio.ByteOrder.LITTLE_ENDIAN);
        header.putInt(id).putInt(0).putLong(data.length).putInt(nameBytes.length);
        out.write(header.array());
        out.write(nameBytes);
        out.write(data);
    }

    /** A small tree with what a Windows volume holds: attributes, alternate streams, a directory. */
    static void createSample(String root) throws IOException {
        Files.createDirectories(host(root + "\\letters"));
        Files.writeString(host(root + "\\readme.txt"), "Backed up with its streams and security.\r\n");
        Files.writeString(host(root + "\\letters\\2026-12-08.txt"), "Dear reader,\r\n...\r\n");
        byte[] photo = new byte[3 << 20];
        new java.util.Random(7).nextBytes(photo);
        Files.write(host(root + "\\photo.jpg"), photo);
        // An alternate stream, written the way a browser marks a download.
        java.io.ByteArrayOutputStream stream = new java.io.ByteArrayOutputStream();
        writeStream(root + "\\photo.jpg", BackupApi.BACKUP_DATA, "", photo, stream);
        writeStream(root + "\\photo.jpg", BackupApi.BACKUP_ALTERNATE_DATA, ":Zone.Identifier:$DATA",
                "[ZoneTransfer]\r\nZoneId=3\r\n".getBytes(StandardCharsets.US_ASCII), stream);
        long handle = BackupApi.CreateFile(root + "\\photo.jpg", BackupApi.GENERIC_WRITE | BackupApi.GENERIC_READ, 0,
                0, BackupApi.CREATE_ALWAYS, BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        byte[] bytes = stream.toByteArray();
        BackupApi.BackupWrite(context, handle, bytes, 0, bytes.length, false, false);
        BackupApi.BackupWrite(context, handle, bytes, 0, 0, true, false);
        BackupApi.SetFileAttributes(root + "\\readme.txt", BackupApi.FILE_ATTRIBUTE_READONLY);
        BackupApi.SetFileAttributes(root + "\\letters", BackupApi.FILE_ATTRIBUTE_HIDDEN);
    }

    public static void main(String[] args) throws Exception {
        BackupApi.init();
        TreeBackup.enableBackupPrivileges();
        String source = args.length > 0 ? args[0] : "C:\\demo\\source";
        if (args.length == 0 && !Files.exists(host(source))) {
            createSample(source);
            System.out.println("Created a sample tree in " + source);
        }
        String archive = "C:\\demo\\backup.bin";
        String target = "C:\\demo\\restored-" + System.currentTimeMillis();
        TreeBackup backup = new TreeBackup(BackupDemo::host, line -> System.out.println("  " + line));

        System.out.println("Backing up " + source + " (free on C: " + BackupApi.getFreeDiskSpace("C:\\") / (1 << 20)
                + " MiB of " + BackupApi.getTotalDiskSpace("C:\\") / (1 << 20) + " MiB)");
        long bytes;
        try (FileOutputStream out = new FileOutputStream(host(archive).toFile())) {
            bytes = backup.backup(source, out);
        }
        System.out.println("Wrote " + bytes + " backup stream bytes to " + archive);

        System.out.println("Restoring into " + target);
        Files.createDirectories(host(target));
        int entries;
        try (FileInputStream in = new FileInputStream(host(archive).toFile())) {
            entries = backup.restore(in, target);
        }

        int differences = 0;
        for (String relative : backup.entries(source)) {
            String from = TreeBackup.join(source, relative);
            String to = TreeBackup.join(target, relative);
            boolean same = BackupApi.GetFileAttributes(from) == BackupApi.GetFileAttributes(to)
                    && java.util.Arrays.equals(TreeBackup.securityRecord(from), TreeBackup.securityRecord(to))
                    && java.util.Arrays.equals(streamOf(from), streamOf(to));
            differences += same ? 0 : 1;
            System.out.printf("  %-40s attributes 0x%02x  %s%n", relative.isEmpty() ? "." : relative,
                    BackupApi.GetFileAttributes(to), same ? "identical" : "DIFFERENT");
        }
        System.out.println(entries + " entries restored, " + differences + " different");
        System.exit(differences == 0 ? 0 : 1);
    }

    private static byte[] streamOf(String path) throws IOException {
        long handle = BackupApi.CreateFile(path, BackupApi.GENERIC_READ | BackupApi.READ_CONTROL,
                BackupApi.FILE_SHARE_READ, 0, BackupApi.OPEN_EXISTING, BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        byte[] buffer = new byte[1 << 16];
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        int n;
        while ((n = BackupApi.BackupRead(context, handle, buffer, 0, buffer.length, false, true)) > 0) {
            out.write(buffer, 0, n);
        }
        BackupApi.BackupRead(context, handle, buffer, 0, 0, true, true);
        return out.toByteArray();
    }
}
