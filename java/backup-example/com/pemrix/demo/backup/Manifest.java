package com.pemrix.demo.backup;

import java.io.ByteArrayOutputStream;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The archive's table of contents, the entry "manifest.txt": UTF-8 text, a first line naming the
 * format, then one record per line, a kind and then tab-separated {@code key=value} fields. In
 * values, "%", tab, carriage return, line feed and the other control characters are written as
 * {@code %XX} of their UTF-8 bytes, so every record stays on its line and any Windows name
 * survives. Each part of a backup writes the records of its own kinds; unknown kinds are kept and
 * ignored, so an older client can still read what it knows of a newer archive.
 */
final class Manifest {
    static final String ENTRY_NAME = "manifest.txt";
    static final String FORMAT_LINE = "qzbackup-archive 1";

    /** One line of the manifest. */
    static final class Record {
        final String kind;
        private final Map<String, String> fields = new LinkedHashMap<>();

        Record(String kind) {
            if (!kind.matches("[a-z][a-z0-9-]*")) {
                throw new IllegalArgumentException("bad record kind " + kind);
            }
            this.kind = kind;
        }

        Record put(String key, String value) {
            if (!key.matches("[a-z][a-z0-9-]*")) {
                throw new IllegalArgumentException("bad field name " + key);
            }
            if (value != null) {
                fields.put(key, value);
            }
            return this;
        }

        Record put(String key, long value) {
            return put(key, Long.toString(value));
        }

        boolean has(String key) {
            return fields.containsKey(key);
        }

        /** The field's value; a missing field makes the archive unreadable. */
        String get(String key) throws ArchiveException {
            String value = fields.get(key);
            if (value == null) {
                throw new ArchiveException("the manifest's " + kind + " record has no " + key);
            }
            return value;
        }

        String get(String key, String fallback) {
            return fields.getOrDefault(key, fallback);
        }

        long getLong(String key) throws ArchiveException {
            String value = get(key);
            try {
                return value.startsWith("0x") ? Long.parseLong(value.substring(2), 16) : Long.parseLong(value);
            } catch (NumberFormatException e) {
                throw new ArchiveException("the manifest's " + kind + " record has a bad " + key + ": " + value);
            }
        }

        Map<String, String> fields() {
            return Collections.unmodifiableMap(fields);
        }
    }

    private final List<Record> records = new ArrayList<>();

    Record add(String kind) {
        Record record = new Record(kind);
        records.add(record);
        return record;
    }

    List<Record> all(String kind) {
        List<Record> found = new ArrayList<>();
        for (Record record : records) {
            if (record.kind.equals(kind)) {
                found.add(record);
            }
        }
        return found;
    }

    /** The one record of a kind; its absence makes the archive unreadable. */
    Record one(String kind) throws ArchiveException {
        List<Record> found = all(kind);
        if (found.size() != 1) {
            throw new ArchiveException("the manifest has " + found.size() + " " + kind + " records instead of one");
        }
        return found.get(0);
    }

    List<Record> records() {
        return Collections.unmodifiableList(records);
    }

    byte[] encode() {
        StringBuilder text = new StringBuilder(FORMAT_LINE).append('\n');
        for (Record record : records) {
            text.append(record.kind);
            for (Map.Entry<String, String> field : record.fields.entrySet()) {
                text.append('\t').append(field.getKey()).append('=').append(escape(field.getValue()));
            }
            text.append('\n');
        }
        return text.toString().getBytes(StandardCharsets.UTF_8);
    }

    static Manifest decode(byte[] bytes) throws ArchiveException {
        String text;
        try {
            text = StandardCharsets.UTF_8.newDecoder().onMalformedInput(CodingErrorAction.REPORT)
                    .onUnmappableCharacter(CodingErrorAction.REPORT).decode(java.nio.ByteBuffer.wrap(bytes)).toString();
        } catch (CharacterCodingException e) {
            throw new ArchiveException("the manifest is not UTF-8 text");
        }
        String[] lines = text.split("\n", -1);
        if (!lines[0].equals(FORMAT_LINE)) {
            throw new ArchiveException("not an archive of this client (its manifest begins \""
                    + lines[0].substring(0, Math.min(lines[0].length(), 40)) + "\")");
        }
        if (!lines[lines.length - 1].isEmpty()) {
            throw new ArchiveException("the manifest is cut short");
        }
        Manifest manifest = new Manifest();
        for (int i = 1; i < lines.length - 1; i++) {
            String[] fields = lines[i].split("\t", -1);
            Record record;
            try {
                record = manifest.add(fields[0]);
                for (int f = 1; f < fields.length; f++) {
                    int equals = fields[f].indexOf('=');
                    if (equals <= 0) {
                        throw new IllegalArgumentException("field without a name");
                    }
                    record.put(fields[f].substring(0, equals), unescape(fields[f].substring(equals + 1)));
                }
            } catch (IllegalArgumentException e) {
                throw new ArchiveException("line " + (i + 1) + " of the manifest is damaged: " + e.getMessage());
            }
        }
        return manifest;
    }

    static String escape(String value) {
        StringBuilder out = new StringBuilder(value.length());
        for (int i = 0; i < value.length(); i++) {
            char c = value.charAt(i);
            if (c == '%' || c < 0x20 || c == 0x7f) {
                out.append(String.format("%%%02X", (int) c));
            } else {
                out.append(c);
            }
        }
        return out.toString();
    }

    static String unescape(String value) {
        if (value.indexOf('%') < 0) {
            return value;
        }
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        int plain = 0;
        for (int i = 0; i < value.length(); i++) {
            if (value.charAt(i) == '%') {
                bytes.writeBytes(value.substring(plain, i).getBytes(StandardCharsets.UTF_8));
                if (i + 2 >= value.length()) {
                    throw new IllegalArgumentException("cut-short escape");
                }
                bytes.write(Integer.parseInt(value.substring(i + 1, i + 3), 16));
                i += 2;
                plain = i + 1;
            }
        }
        bytes.writeBytes(value.substring(plain).getBytes(StandardCharsets.UTF_8));
        return bytes.toString(StandardCharsets.UTF_8);
    }
}
