package com.pemrix.testsupport;

import java.io.ByteArrayOutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/** One record of a backup stream: the 20-byte header, the UTF-16 name and the contents. */
public final class StreamRecord {
    public final int id;
    public final int attributes;
    public final String name;
    public final byte[] data;

    public StreamRecord(int id, int attributes, String name, byte[] data) {
        this.id = id;
        this.attributes = attributes;
        this.name = name;
        this.data = data;
    }

    public byte[] encode() {
        byte[] nameBytes = name.getBytes(StandardCharsets.UTF_16LE);
        ByteBuffer out = ByteBuffer.allocate(20 + nameBytes.length + data.length).order(ByteOrder.LITTLE_ENDIAN);
        out.putInt(id).putInt(attributes).putLong(data.length).putInt(nameBytes.length);
        out.put(nameBytes).put(data);
        return out.array();
    }

    public static byte[] encodeAll(List<StreamRecord> records) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        for (StreamRecord record : records) {
            out.writeBytes(record.encode());
        }
        return out.toByteArray();
    }

    /** Splits a whole backup stream into its records; fails on a truncated one. */
    public static List<StreamRecord> parse(byte[] stream) {
        List<StreamRecord> records = new ArrayList<>();
        ByteBuffer in = ByteBuffer.wrap(stream).order(ByteOrder.LITTLE_ENDIAN);
        while (in.hasRemaining()) {
            if (in.remaining() < 20) {
                throw new IllegalArgumentException("truncated header at " + in.position());
            }
            int id = in.getInt();
            int attributes = in.getInt();
            long size = in.getLong();
            int nameSize = in.getInt();
            if (nameSize < 0 || size < 0 || in.remaining() < nameSize + size) {
                throw new IllegalArgumentException("truncated record at " + in.position());
            }
            byte[] nameBytes = new byte[nameSize];
            in.get(nameBytes);
            byte[] data = new byte[(int) size];
            in.get(data);
            records.add(new StreamRecord(id, attributes, new String(nameBytes, StandardCharsets.UTF_16LE), data));
        }
        return records;
    }

    @Override
    public boolean equals(Object other) {
        if (!(other instanceof StreamRecord)) {
            return false;
        }
        StreamRecord that = (StreamRecord) other;
        return id == that.id && attributes == that.attributes && name.equals(that.name)
                && Arrays.equals(data, that.data);
    }

    @Override
    public int hashCode() {
        return 31 * id + name.hashCode();
    }

    @Override
    public String toString() {
        return "StreamRecord[id=" + id + ", name=" + name + ", size=" + data.length + "]";
    }
}
