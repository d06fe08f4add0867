package com.pemrix.demo.backup;

import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.Arrays;
import java.util.Collections;
import java.util.HexFormat;
import java.util.Map;
import java.util.TreeMap;

/**
 * The records of a backup stream, each summed up by its length and SHA-256, so that two streams
 * can be compared part by part (data, each alternate stream, security) whatever order their
 * records come in. A record is a 20-byte header (stream id, attributes, 64-bit size, name size in
 * bytes, all little-endian), the UTF-16 name, then the contents.
 */
final class StreamRecords {
    static final int BACKUP_DATA = 1;
    static final int BACKUP_SECURITY_DATA = 3;
    static final int BACKUP_ALTERNATE_DATA = 4;
    private static final int HEADER_SIZE = 20;
    private static final int MAX_NAME_SIZE = 65536;

    /** What a record held: its length and digest. */
    static final class Summary {
        final long length;
        final String sha256;

        Summary(long length, String sha256) {
            this.length = length;
            this.sha256 = sha256;
        }

        @Override
        public boolean equals(Object other) {
            return other instanceof Summary && ((Summary) other).length == length
                    && ((Summary) other).sha256.equals(sha256);
        }

        @Override
        public int hashCode() {
            return sha256.hashCode();
        }
    }

    /** Records by key: "data", "security", the alternate stream's name (":name:$DATA"), or "id N". */
    final Map<String, Summary> records;

    private StreamRecords(Map<String, Summary> records) {
        this.records = Collections.unmodifiableMap(records);
    }

    static StreamRecords read(InputStream in, byte[] buffer) throws IOException {
        Map<String, Summary> records = new TreeMap<>();
        byte[] header = new byte[HEADER_SIZE];
        MessageDigest digest = sha256();
        while (true) {
            int got = in.readNBytes(header, 0, HEADER_SIZE);
            if (got == 0) {
                break;
            }
            if (got < HEADER_SIZE) {
                throw new EOFException("a stream record's header is cut short");
            }
            ByteBuffer fields = ByteBuffer.wrap(header).order(ByteOrder.LITTLE_ENDIAN);
            int id = fields.getInt();
            fields.getInt();
            long size = fields.getLong();
            int nameSize = fields.getInt();
            if (size < 0 || nameSize < 0 || nameSize > MAX_NAME_SIZE || nameSize % 2 != 0) {
                throw new IOException("a stream record's header is not valid");
            }
            byte[] name = in.readNBytes(nameSize);
            if (name.length < nameSize) {
                throw new EOFException("a stream record's name is cut short");
            }
            digest.reset();
            for (long left = size; left > 0;) {
                int n = in.read(buffer, 0, (int) Math.min(buffer.length, left));
                if (n < 0) {
                    throw new EOFException("a stream record's contents are cut short");
                }
                digest.update(buffer, 0, n);
                left -= n;
            }
            String key;
            switch (id) {
                case BACKUP_DATA:
                    key = "data";
                    break;
                case BACKUP_SECURITY_DATA:
                    key = "security";
                    break;
                case BACKUP_ALTERNATE_DATA:
                    key = new String(name, StandardCharsets.UTF_16LE);
                    break;
                default:
                    key = "id " + id + (nameSize > 0 ? " " + new String(name, StandardCharsets.UTF_16LE) : "");
                    break;
            }
            records.put(key, new Summary(size, HexFormat.of().formatHex(digest.digest())));
        }
        return new StreamRecords(records);
    }

    private static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every Java runtime has SHA-256", e);
        }
    }

    /** The records other than data and security: the alternate streams and anything else. */
    Map<String, Summary> streams() {
        Map<String, Summary> streams = new TreeMap<>(records);
        streams.remove("data");
        streams.remove("security");
        return streams;
    }

    Summary data() {
        return records.get("data");
    }

    Summary security() {
        return records.get("security");
    }

    static boolean same(Summary a, Summary b) {
        return a == null ? b == null : a.equals(b);
    }

    @Override
    public String toString() {
        return Arrays.toString(records.keySet().toArray());
    }
}
