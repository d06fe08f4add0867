package com.pemrix.demo.backup;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.zip.CRC32;
import java.util.zip.ZipEntry;
import java.util.zip.ZipException;
import java.util.zip.ZipFile;

/**
 * Reads an archive that {@link ArchiveWriter} wrote. {@link #verify} reads every entry the
 * manifest lists and checks its length and CRC-32 before a restore changes anything, so a damaged
 * archive is refused as a whole.
 */
final class ArchiveReader implements AutoCloseable {
    private final String name;
    private final ZipFile zip;
    private final Manifest manifest;

    private ArchiveReader(String name, ZipFile zip, Manifest manifest) {
        this.name = name;
        this.zip = zip;
        this.manifest = manifest;
    }

    /** Opens the archive and reads its manifest; name is how messages call the archive. */
    static ArchiveReader open(Path file, String name) throws ArchiveException {
        ZipFile zip;
        try {
            zip = new ZipFile(file.toFile());
        } catch (NoSuchFileException | java.io.FileNotFoundException e) {
            throw new ArchiveException("the archive " + name + " does not exist");
        } catch (IOException e) {
            throw new ArchiveException("the archive " + name + " is damaged or incomplete (" + e.getMessage() + ")");
        }
        try {
            ZipEntry entry = zip.getEntry(Manifest.ENTRY_NAME);
            if (entry == null) {
                throw new ArchiveException("the archive " + name + " has no manifest");
            }
            byte[] text;
            try (InputStream in = zip.getInputStream(entry)) {
                text = in.readNBytes(64 << 20);
            }
            CRC32 crc = new CRC32();
            crc.update(text);
            if (text.length != entry.getSize() || crc.getValue() != entry.getCrc()) {
                throw new ArchiveException(
                        "the archive " + name + " is damaged: its manifest does not match its checksum");
            }
            return new ArchiveReader(name, zip, Manifest.decode(text));
        } catch (ArchiveException e) {
            closeQuietly(zip);
            throw new ArchiveException(e.getMessage().startsWith("the archive") ? e.getMessage()
                    : "the archive " + name + " is damaged: " + e.getMessage(), e);
        } catch (IOException e) {
            closeQuietly(zip);
            throw new ArchiveException("the archive " + name + " is damaged (" + e.getMessage() + ")", e);
        }
    }

    Manifest manifest() {
        return manifest;
    }

    /** Reads every entry that the manifest lists; raises on the first that is missing or differs. */
    void verify(JobControl control) throws ArchiveException {
        byte[] buffer = new byte[1 << 20];
        for (Manifest.Record record : manifest.all("entry")) {
            control.checkpoint();
            String entryName = record.get("name");
            long length = record.getLong("length");
            long expectedCrc;
            try {
                expectedCrc = Long.parseLong(record.get("crc"), 16);
            } catch (NumberFormatException e) {
                throw damaged("the manifest's checksum of " + entryName + " is not a number");
            }
            ZipEntry entry = zip.getEntry(entryName);
            if (entry == null) {
                throw damaged("its entry " + entryName + " is missing");
            }
            CRC32 crc = new CRC32();
            long read = 0;
            try (InputStream in = zip.getInputStream(entry)) {
                for (int n; (n = in.read(buffer)) > 0;) {
                    crc.update(buffer, 0, n);
                    read += n;
                }
            } catch (ZipException e) {
                throw damaged("its entry " + entryName + " cannot be read (" + e.getMessage() + ")");
            } catch (IOException e) {
                throw new ArchiveException("the archive " + name + " cannot be read: " + e.getMessage(), e);
            }
            if (read != length || crc.getValue() != expectedCrc || entry.getCrc() != expectedCrc) {
                throw damaged("its entry " + entryName + " does not match its checksum");
            }
        }
    }

    private ArchiveException damaged(String what) {
        return new ArchiveException("the archive " + name + " is damaged: " + what);
    }

    /** The content of an entry that the manifest lists. */
    InputStream open(String entryName) throws IOException, ArchiveException {
        ZipEntry entry = zip.getEntry(entryName);
        if (entry == null) {
            throw damaged("its entry " + entryName + " is missing");
        }
        return zip.getInputStream(entry);
    }

    byte[] read(String entryName) throws IOException, ArchiveException {
        try (InputStream in = open(entryName)) {
            return in.readAllBytes();
        }
    }

    /** The manifest's record of an entry: its length and CRC-32. */
    Manifest.Record entryRecord(String entryName) throws ArchiveException {
        for (Manifest.Record record : manifest.all("entry")) {
            if (record.get("name").equals(entryName)) {
                return record;
            }
        }
        throw damaged("the manifest does not list " + entryName);
    }

    @Override
    public void close() {
        closeQuietly(zip);
    }

    private static void closeQuietly(ZipFile zip) {
        try {
            zip.close();
        } catch (IOException ignored) {
            // Nothing was written through it.
        }
    }
}
