package com.pemrix.demo.backup;

import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.util.Arrays;
import java.util.zip.CRC32;
import java.util.zip.ZipEntry;
import java.util.zip.ZipOutputStream;

/**
 * Writes one archive: a ZIP file whose entries are stored as they are (backup streams are mostly
 * data that does not compress, and a backup must keep up with the disk), each listed in the
 * manifest with its length and CRC-32. The archive is written under a temporary name beside the
 * target and takes the target's name only in {@link #commit}, after it is complete and on disk;
 * a run that ends any other way deletes the temporary file, so the last good archive is never
 * touched.
 */
final class ArchiveWriter implements AutoCloseable {
    /** Entries up to this size are held in memory and written once; larger ones are produced twice. */
    static final int MEMORY_LIMIT = 8 << 20;

    /**
     * An entry's content, opened as a stream; opened a second time for an entry larger than the
     * memory limit, and must then give the same bytes.
     */
    interface Source {
        InputStream open() throws IOException;
    }

    /** An entry's content pushed to a stream; like a source, asked twice for a large entry. */
    interface Producer {
        void writeTo(OutputStream out) throws IOException;
    }

    private interface Measure {
        void run() throws IOException;
    }

    private interface Write {
        void to(OutputStream out) throws IOException;
    }

    /**
     * The source failed before anything of its entry was written: the archive is as it was and
     * the run may go on without the entry.
     */
    static final class UnreadableSource extends Exception {
        private static final long serialVersionUID = 1L;

        UnreadableSource(IOException cause) {
            super(cause.getMessage(), cause);
        }
    }

    private final Path target;
    private final Path partial;
    private final Manifest manifest;
    private final FileChannel file;
    private final ZipOutputStream zip;
    private final HeldContent held = new HeldContent();
    private long entries;
    private boolean committed;
    private boolean closed;

    ArchiveWriter(Path target, Path partial, Manifest manifest) throws IOException {
        this.target = target;
        this.partial = partial;
        this.manifest = manifest;
        Files.createDirectories(partial.getParent());
        this.file = FileChannel.open(partial, StandardOpenOption.WRITE, StandardOpenOption.CREATE,
                StandardOpenOption.TRUNCATE_EXISTING);
        this.zip = new ZipOutputStream(new ChannelOutput(file));
        zip.setMethod(ZipOutputStream.STORED);
    }

    /**
     * Adds an entry with the source's content; returns the content's length. The content is read
     * straight into the memory that holds it while its length and CRC are measured. A failure of
     * the source while it is measured leaves the archive as it was; any later failure leaves the
     * archive unusable and must end the run.
     */
    long put(String name, Source source) throws IOException, UnreadableSource {
        return store(name, () -> {
            try (InputStream in = source.open()) {
                held.fill(in);
            }
        }, out -> {
            try (InputStream in = source.open()) {
                for (int n; (n = in.read(held.bytes)) > 0;) {
                    out.write(held.bytes, 0, n);
                }
            }
        });
    }

    /** As {@link #put(String, Source)}, for content that is pushed rather than read. */
    long put(String name, Producer producer) throws IOException, UnreadableSource {
        return store(name, () -> {
            producer.writeTo(held);
            held.finish();
        }, producer::writeTo);
    }

    private long store(String name, Measure measure, Write write) throws IOException, UnreadableSource {
        held.reset();
        try {
            measure.run();
        } catch (IOException e) {
            throw new UnreadableSource(e);
        }
        ZipEntry entry = new ZipEntry(name);
        entry.setMethod(ZipEntry.STORED);
        entry.setSize(held.length);
        entry.setCompressedSize(held.length);
        entry.setCrc(held.crc.getValue());
        zip.putNextEntry(entry);
        if (held.overflowed) {
            // The source is frozen (a snapshot), so it gives the same bytes again; the ZIP stream
            // checks their length and CRC against the entry's when it closes it.
            write.to(zip);
        } else {
            zip.write(held.bytes, 0, (int) held.length);
        }
        zip.closeEntry();
        manifest.add("entry").put("name", name).put("length", held.length)
                .put("crc", String.format("%08x", held.crc.getValue()));
        entries++;
        return held.length;
    }

    long put(String name, byte[] content) throws IOException {
        try {
            return put(name, () -> new ByteArrayInputStream(content));
        } catch (UnreadableSource e) {
            throw new IllegalStateException("bytes in memory are always readable", e);
        }
    }

    long entries() {
        return entries;
    }

    /** Makes what the archive holds so far durable, while it keeps its temporary name. */
    void sync() throws IOException {
        zip.flush();
        file.force(true);
    }

    /** Writes the manifest, makes the archive durable and gives it its name. */
    void commit() throws IOException {
        ZipEntry entry = new ZipEntry(Manifest.ENTRY_NAME);
        byte[] text = manifest.encode();
        CRC32 crc = new CRC32();
        crc.update(text);
        entry.setMethod(ZipEntry.STORED);
        entry.setSize(text.length);
        entry.setCompressedSize(text.length);
        entry.setCrc(crc.getValue());
        zip.putNextEntry(entry);
        zip.write(text);
        zip.closeEntry();
        zip.finish();
        zip.flush();
        file.force(true);
        zip.close();
        closed = true;
        Files.move(partial, target, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
        committed = true;
        syncDirectory(target.getParent());
    }

    /** Without a commit, the temporary file goes; the archive of an earlier run stays as it was. */
    @Override
    public void close() throws IOException {
        if (committed) {
            return;
        }
        try {
            if (!closed) {
                closed = true;
                zip.close();
            }
        } catch (IOException ignored) {
            // The file is deleted next; what could not be written to it no longer matters.
        } finally {
            Files.deleteIfExists(partial);
        }
    }

    private static void syncDirectory(Path directory) {
        // Makes the rename itself durable where the system allows opening a directory.
        try (FileChannel channel = FileChannel.open(directory, StandardOpenOption.READ)) {
            channel.force(true);
        } catch (IOException | UnsupportedOperationException ignored) {
            // Windows does not open directories this way; NTFS journals the rename.
        }
    }

    /**
     * An entry's content while its length and CRC are measured: kept up to the memory limit, read
     * into it (fill) or written to it (as a stream, then finish).
     */
    private static final class HeldContent extends OutputStream {
        byte[] bytes = new byte[1 << 20];
        long length;
        boolean overflowed;
        final CRC32 crc = new CRC32();

        void reset() {
            length = 0;
            overflowed = false;
            crc.reset();
        }

        /** Reads the stream to its end, into memory while it fits, measuring all of it. */
        void fill(InputStream in) throws IOException {
            while (true) {
                if (length == bytes.length && bytes.length < MEMORY_LIMIT) {
                    bytes = Arrays.copyOf(bytes, (int) Math.min(MEMORY_LIMIT, bytes.length * 2L));
                }
                if (length == bytes.length) {
                    break;
                }
                int n = in.read(bytes, (int) length, bytes.length - (int) length);
                if (n < 0) {
                    finish();
                    return;
                }
                length += n;
            }
            // Larger than memory: measured now, written from a second reading.
            overflowed = true;
            crc.update(bytes, 0, (int) length);
            for (int n; (n = in.read(bytes)) > 0;) {
                crc.update(bytes, 0, n);
                length += n;
            }
        }

        @Override
        public void write(int b) {
            write(new byte[] {(byte) b}, 0, 1);
        }

        @Override
        public void write(byte[] data, int offset, int count) {
            if (!overflowed && length + count > MEMORY_LIMIT) {
                overflowed = true;
                crc.update(bytes, 0, (int) length);
            }
            if (overflowed) {
                crc.update(data, offset, count);
            } else {
                if (length + count > bytes.length) {
                    long grown = Math.max(bytes.length * 2L, length + count);
                    bytes = Arrays.copyOf(bytes, (int) Math.min(MEMORY_LIMIT, grown));
                }
                System.arraycopy(data, offset, bytes, (int) length, count);
            }
            length += count;
        }

        /** Ends content that was held whole: its CRC is taken over what memory holds. */
        void finish() {
            if (!overflowed) {
                crc.update(bytes, 0, (int) length);
            }
        }
    }

    /**
     * Buffered writes to the archive's file through one direct buffer: each piece is copied once
     * into memory the system writes from, where a stream would allocate a native copy per call.
     */
    private static final class ChannelOutput extends OutputStream {
        private final FileChannel channel;
        private final ByteBuffer buffer = ByteBuffer.allocateDirect(1 << 20);

        ChannelOutput(FileChannel channel) {
            this.channel = channel;
        }

        @Override
        public void write(int b) throws IOException {
            if (!buffer.hasRemaining()) {
                drain();
            }
            buffer.put((byte) b);
        }

        @Override
        public void write(byte[] data, int offset, int count) throws IOException {
            while (count > 0) {
                if (!buffer.hasRemaining()) {
                    drain();
                }
                int n = Math.min(count, buffer.remaining());
                buffer.put(data, offset, n);
                offset += n;
                count -= n;
            }
        }

        private void drain() throws IOException {
            buffer.flip();
            while (buffer.hasRemaining()) {
                channel.write(buffer);
            }
            buffer.clear();
        }

        @Override
        public void flush() throws IOException {
            drain();
        }

        @Override
        public void close() throws IOException {
            try {
                drain();
            } finally {
                channel.close();
            }
        }
    }
}
