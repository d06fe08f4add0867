package com.pemrix.testsupport;

import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/** Callbacks of the raw encrypted-file natives, and a raw import run in a process of its own. */
public final class RawTransfer {
    private RawTransfer() {}

    /** Collects an export and remembers the count of each nextBlock call. */
    public static final class Collector {
        public final ByteArrayOutputStream data = new ByteArrayOutputStream();
        public final List<Integer> counts = new ArrayList<>();

        public int nextBlock(byte[] buffer, int count) {
            counts.add(count);
            data.write(buffer, 0, count);
            return 0;
        }
    }

    /** Feeds bytes to an import in pieces of at most the room offered, then -1. */
    public static final class Feeder {
        private final byte[] source;
        private int at;

        public Feeder(byte[] source) {
            this.source = source;
        }

        public int nextBlock(byte[] buffer, int room) {
            if (at == source.length) {
                return -1;
            }
            int n = Math.min(Math.min(room, buffer.length), source.length - at);
            System.arraycopy(source, at, buffer, 0, n);
            at += n;
            return n;
        }
    }

    /** The raw form of a file or directory, read with the given array size. */
    public static byte[] export(String path, int flags, int arraySize) throws IOException {
        long context = BackupApi.OpenEncryptedFileRaw(path, flags);
        try {
            Collector collector = new Collector();
            int result = BackupApi.ReadEncryptedFileRaw(collector, context, new byte[arraySize]);
            if (result != 0) {
                throw new IOException("export of " + path + " ended with " + result);
            }
            return collector.data.toByteArray();
        } finally {
            BackupApi.CloseEncryptedFileRaw(context);
        }
    }

    /** Imports raw bytes; returns the system's result. */
    public static int importRaw(String path, int flags, byte[] raw, int arraySize) throws IOException {
        long context = BackupApi.OpenEncryptedFileRaw(path, BackupApi.CREATE_FOR_IMPORT | flags);
        try {
            return BackupApi.WriteEncryptedFileRaw(new Feeder(raw), context, new byte[arraySize]);
        } finally {
            BackupApi.CloseEncryptedFileRaw(context);
        }
    }

    /** Run on another machine: imports the raw file (args: raw file, Windows target, flags) and prints the result. */
    public static void main(String[] args) throws Exception {
        BackupApi.init();
        BackupApi.setPrivilege("SeRestorePrivilege", true);
        byte[] raw = Files.readAllBytes(Path.of(args[0]));
        System.out.println("result " + importRaw(args[1], Integer.parseInt(args[2]), raw, 3000));
    }
}
