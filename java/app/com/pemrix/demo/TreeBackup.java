package com.pemrix.demo;

import com.pemrix.util.ErrorCodeException;
import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.BufferedInputStream;
import java.io.BufferedOutputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.function.Consumer;
import java.util.function.Function;

/**
 * Backs up a directory tree into one archive file and restores it elsewhere, the way the backup
 * engine drives the natives: each entry's backup stream (data, alternate streams, security) is
 * read with BackupRead, its security record with readSecurityDescriptor; a restore writes the
 * stream back with BackupWrite and the record with writeSecurityDescriptor.
 */
public final class TreeBackup {
    private static final int DIRECTORY = 1;
    private static final int FILE = 2;
    private static final int BUFFER_SIZE = 1 << 20;

    private final Function<String, Path> hostPath;
    private final Consumer<String> log;

    /** hostPath maps a Windows path to the host path that holds it, for walking the tree. */
    public TreeBackup(Function<String, Path> hostPath, Consumer<String> log) {
        this.hostPath = hostPath;
        this.log = log;
        BackupApi.init();
    }

    public static void enableBackupPrivileges() throws Exception {
        BackupApi.setPrivilege("SeBackupPrivilege", true);
        BackupApi.setPrivilege("SeRestorePrivilege", true);
        BackupApi.setPrivilege("SeSecurityPrivilege", true);
    }

    /** The entries of a tree, relative, directories before what they hold. */
    public List<String> entries(String root) throws IOException {
        Path base = hostPath.apply(root);
        List<String> entries = new ArrayList<>();
        try (var walk = Files.walk(base)) {
            walk.sorted().forEach(p -> {
                String relative = base.relativize(p).toString().replace('/', '\\');
                entries.add(relative);
            });
        }
        return entries;
    }

    public static String join(String root, String relative) {
        return relative.isEmpty() ? root : root + "\\" + relative;
    }

    public long backup(String root, OutputStream archive) throws IOException {
        long total = 0;
        DataOutputStream out = new DataOutputStream(new BufferedOutputStream(archive, BUFFER_SIZE));
        byte[] buffer = new byte[BUFFER_SIZE];
        for (String relative : entries(root)) {
            String path = join(root, relative);
            boolean directory = (BackupApi.GetFileAttributes(path) & BackupApi.FILE_ATTRIBUTE_DIRECTORY) != 0;
            byte[] record = securityRecord(path);
            List<byte[]> chunks = new ArrayList<>();
            long streamLength = 0;
            long handle = BackupApi.CreateFile(path, BackupApi.GENERIC_READ | BackupApi.READ_CONTROL,
                    BackupApi.FILE_SHARE_READ, 0, BackupApi.OPEN_EXISTING, BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
            int[] context = new int[2];
            try {
                int n;
                while ((n = BackupApi.BackupRead(context, handle, buffer, 0, buffer.length, false, true)) > 0) {
                    chunks.add(Arrays.copyOf(buffer, n));
                    streamLength += n;
                }
            } finally {
                BackupApi.BackupRead(context, handle, buffer, 0, 0, true, true);
            }
            out.writeByte(directory ? DIRECTORY : FILE);
            out.writeUTF(relative);
            out.writeInt(record.length);
            out.write(record);
            out.writeLong(streamLength);
            for (byte[] chunk : chunks) {
                out.write(chunk);
            }
            total += streamLength;
            log.accept((directory ? "dir  " : "file ") + path + "  (" + streamLength + " stream bytes)");
        }
        out.flush();
        return total;
    }

    public int restore(InputStream archive, String target) throws IOException {
        DataInputStream in = new DataInputStream(new BufferedInputStream(archive, BUFFER_SIZE));
        byte[] buffer = new byte[BUFFER_SIZE];
        List<String> restored = new ArrayList<>();
        List<byte[]> securityRecords = new ArrayList<>();
        int count = 0;
        while (true) {
            int type;
            try {
                type = in.readUnsignedByte();
            } catch (EOFException end) {
                break;
            }
            String relative = in.readUTF();
            byte[] record = new byte[in.readInt()];
            in.readFully(record);
            long remaining = in.readLong();
            String path = join(target, relative);
            if (type == DIRECTORY) {
                Files.createDirectories(hostPath.apply(path));
            }
            long handle = BackupApi.CreateFile(path,
                    BackupApi.GENERIC_WRITE | BackupApi.GENERIC_READ | BackupApi.WRITE_DAC | BackupApi.WRITE_OWNER,
                    0, 0, type == DIRECTORY ? BackupApi.OPEN_EXISTING : BackupApi.CREATE_ALWAYS,
                    BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
            int[] context = new int[2];
            try {
                while (remaining > 0) {
                    int n = (int) Math.min(buffer.length, remaining);
                    in.readFully(buffer, 0, n);
                    BackupApi.BackupWrite(context, handle, buffer, 0, n, false, true);
                    remaining -= n;
                }
            } finally {
                BackupApi.BackupWrite(context, handle, buffer, 0, 0, true, true);
            }
            restored.add(path);
            securityRecords.add(record);
            log.accept("restored " + path);
            count++;
        }
        // Attributes last, deepest first, so that read-only entries were writable while restoring.
        for (int i = restored.size() - 1; i >= 0; i--) {
            byte[] record = securityRecords.get(i);
            BackupApi.writeSecurityDescriptor(restored.get(i), record, 0, record.length);
        }
        return count;
    }

    public static byte[] securityRecord(String path) throws IOException {
        int size = 256;
        while (true) {
            byte[] buffer = new byte[size];
            try {
                long length = BackupApi.readSecurityDescriptor(path, buffer, size);
                return Arrays.copyOf(buffer, (int) length);
            } catch (ErrorCodeException e) {
                if (e.getErrorCode() != 122 || size >= 1 << 20) {
                    throw e;
                }
                size *= 4;
            }
        }
    }
}
