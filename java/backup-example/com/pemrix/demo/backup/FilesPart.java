package com.pemrix.demo.backup;

import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Locale;
import java.util.Set;

/**
 * Files and directories, each as its backup stream (data, alternate streams, security) read from
 * the snapshot with BackupRead, with its attributes in the manifest. A restore makes the
 * directories, writes each file back with BackupWrite and its attributes, and last gives the
 * directories, deepest first, their security and attributes, so that nothing it sets on a
 * directory gets in the way of what it writes below it.
 *
 * <p>Manifest records: {@code file path=... kind=file|dir attributes=0x... entry=files/N}; encrypted
 * entries are {@link EncryptedFiles}' records, in the same order.
 */
final class FilesPart implements Part {
    static final String RECORD = "file";

    private final DirectoryLister lister;
    private final EncryptedFiles encrypted;

    FilesPart(DirectoryLister lister, EncryptedFiles encrypted) {
        this.lister = lister;
        this.encrypted = encrypted;
    }

    @Override
    public String name() {
        return "files";
    }

    // ---- backup ----

    @Override
    public void backUp(BackupRun run) throws Exception {
        for (String root : run.settings.include) {
            if (run.isExcluded(root)) {
                continue;
            }
            int attributes;
            try {
                attributes = BackupApi.GetFileAttributes(run.snapshotPath(root));
            } catch (IOException e) {
                run.skipped(root, "not found in the snapshot (" + e.getMessage() + ")");
                continue;
            }
            // A volume's root is there on every machine, and the file natives cannot read its
            // attributes back (it has no directory entry): its content is what counts.
            if (!WindowsPaths.trim(root).equalsIgnoreCase(run.settings.volume)) {
                backUpEntry(run, root, attributes);
            }
            if ((attributes & FileAttributes.DIRECTORY) != 0) {
                walk(run, root);
            }
        }
    }

    private void walk(BackupRun run, String directory) throws Exception {
        List<DirectoryLister.Entry> entries;
        try {
            entries = new ArrayList<>(lister.list(run.snapshotPath(directory)));
        } catch (IOException e) {
            run.skipped(directory, "its entries cannot be listed (" + e.getMessage() + ")");
            return;
        }
        entries.sort((a, b) -> WindowsPaths.compareNames(a.name, b.name));
        for (DirectoryLister.Entry entry : entries) {
            run.control.checkpoint();
            String path = WindowsPaths.join(directory, entry.name);
            if (run.isExcluded(path)) {
                continue;
            }
            backUpEntry(run, path, entry.attributes);
            if (entry.isDirectory() && (entry.attributes & FileAttributes.REPARSE_POINT) == 0) {
                walk(run, path);
            }
        }
    }

    private void backUpEntry(BackupRun run, String path, int attributes) throws Exception {
        boolean directory = (attributes & FileAttributes.DIRECTORY) != 0;
        if ((attributes & FileAttributes.ENCRYPTED) != 0) {
            encrypted.backUp(run, path, directory, attributes);
            return;
        }
        String snapshot = run.snapshotPath(path);
        String entry = run.newEntryName("files");
        long length;
        try {
            length = run.archive.put(entry, () -> new BackupReadStream(snapshot, run.progress::moved));
        } catch (ArchiveWriter.UnreadableSource e) {
            run.skipped(path, e.getMessage());
            return;
        }
        run.manifest.add(RECORD).put("path", path).put("kind", directory ? "dir" : "file")
                .put("attributes", FileAttributes.hex(attributes)).put("entry", entry);
        run.progress.fileDone(length);
    }

    // ---- restore ----

    /** The records of this part, plain and encrypted, in the order they were taken (parents first). */
    private static List<Manifest.Record> entries(Manifest manifest) {
        List<Manifest.Record> entries = new ArrayList<>();
        for (Manifest.Record record : manifest.records()) {
            if (record.kind.equals(RECORD) || record.kind.equals(EncryptedFiles.RECORD)) {
                entries.add(record);
            }
        }
        return entries;
    }

    @Override
    public void restore(RestoreRun run) throws Exception {
        List<Manifest.Record> records = entries(run.manifest);
        List<Manifest.Record> directories = new ArrayList<>();
        for (Manifest.Record record : records) {
            if (!record.get("kind").equals("dir")) {
                continue;
            }
            directories.add(record);
            String path = record.get("path");
            if (run.refusal(path) != null) {
                continue;
            }
            if (record.kind.equals(EncryptedFiles.RECORD)) {
                // Imported before anything is put below it: an import rebuilds the directory.
                EncryptedFiles.restore(run, record);
                continue;
            }
            try {
                Files.createDirectories(LocalFiles.of(path));
            } catch (IOException e) {
                run.failed(path, "the directory cannot be made (" + e.getMessage() + ")");
            }
        }
        Set<String> made = new HashSet<>();
        for (Manifest.Record record : directories) {
            made.add(record.get("path").toLowerCase(Locale.ROOT));
        }
        for (Manifest.Record record : records) {
            run.control.checkpoint();
            if (!record.get("kind").equals("file")) {
                continue;
            }
            // A file named by the settings on its own comes without its directory.
            String parent = LocalFiles.parent(record.get("path"));
            if (made.add(parent.toLowerCase(Locale.ROOT))) {
                try {
                    Files.createDirectories(LocalFiles.of(parent));
                } catch (IOException e) {
                    run.failed(record.get("path"), "its directory cannot be made (" + e.getMessage() + ")");
                    continue;
                }
            }
            if (record.kind.equals(EncryptedFiles.RECORD)) {
                if (!leftAlone(run, record.get("path"))) {
                    EncryptedFiles.restore(run, record);
                }
            } else {
                restoreEntry(run, record, false);
            }
        }
        List<Manifest.Record> deepestFirst = new ArrayList<>(directories);
        Collections.reverse(deepestFirst);
        for (Manifest.Record record : deepestFirst) {
            run.control.checkpoint();
            String path = record.get("path");
            if (run.hasFailed(path) || leftAlone(run, path)) {
                continue;
            }
            if (record.kind.equals(EncryptedFiles.RECORD)) {
                try {
                    EncryptedFiles.restoreSecurity(run, record);
                } catch (IOException e) {
                    run.failed(path, e.getMessage());
                }
            } else {
                restoreEntry(run, record, true);
            }
        }
    }

    /** Whether a writer refused the restore of path; says so once. */
    private static boolean leftAlone(RestoreRun run, String path) {
        String refusal = run.refusal(path);
        if (refusal == null) {
            return false;
        }
        if (!run.leftAlone.contains(path)) {
            run.leftAlone.add(path);
            run.log.line("left " + path + " as it is: " + refusal);
        }
        return true;
    }

    private static void restoreEntry(RestoreRun run, Manifest.Record record, boolean directory)
            throws IOException, ArchiveException {
        String path = record.get("path");
        int attributes = (int) record.getLong("attributes");
        if (leftAlone(run, path)) {
            return;
        }
        try {
            if (!directory) {
                makeReplaceable(path);
            }
            long length;
            try (InputStream in = run.archive.open(record.get("entry"))) {
                length = BackupStreams.write(path, directory, in, run.buffer, run.progress::moved);
            }
            setAttributes(path, attributes);
            run.progress.fileDone(length);
        } catch (IOException e) {
            run.failed(path, e.getMessage());
        }
    }

    static boolean exists(String path) {
        try {
            BackupApi.GetFileAttributes(path);
            return true;
        } catch (IOException missing) {
            return false;
        }
    }

    /** A file that is read-only, hidden or system cannot be replaced until those are cleared. */
    static void makeReplaceable(String path) throws IOException {
        int current;
        try {
            current = BackupApi.GetFileAttributes(path);
        } catch (IOException missing) {
            return;
        }
        if ((current & (FileAttributes.READONLY | FileAttributes.HIDDEN | FileAttributes.SYSTEM)) != 0) {
            BackupApi.SetFileAttributes(path, FileAttributes.NORMAL);
        }
    }

    static void setAttributes(String path, int attributes) throws IOException {
        int settable = attributes & FileAttributes.SETTABLE;
        BackupApi.SetFileAttributes(path, settable == 0 ? FileAttributes.NORMAL : settable);
    }

    // ---- verification ----

    static final String SECTION = "files";

    @Override
    public void verify(VerifyRun run) throws Exception {
        run.table.section(SECTION, "data", "streams", "attributes", "security", "encrypted");
        byte[] second = new byte[run.buffer.length];
        for (Manifest.Record record : entries(run.manifest)) {
            run.control.checkpoint();
            String path = record.get("path");
            if (run.leftAlone.contains(path)) {
                run.table.row(SECTION, path, true, "left as it was at its writer's request", "", "", "", "");
                continue;
            }
            if (record.kind.equals(EncryptedFiles.RECORD)) {
                EncryptedFiles.verify(run, record);
                continue;
            }
            int archived = (int) record.getLong("attributes");
            int current;
            try {
                current = BackupApi.GetFileAttributes(path);
            } catch (IOException e) {
                run.table.row(SECTION, path, false, VerificationTable.MISSING, "", "", "", "");
                continue;
            }
            StreamRecords was;
            try (InputStream in = run.archive.open(record.get("entry"))) {
                was = StreamRecords.read(in, run.buffer);
            }
            StreamRecords now;
            try (InputStream in = new BackupReadStream(path)) {
                now = StreamRecords.read(in, second);
            } catch (IOException e) {
                run.table.row(SECTION, path, false, "unreadable: " + e.getMessage(), "", "", "", "");
                continue;
            }
            compare(run.table, path, archived, current, was, now);
        }
    }

    /** One row: each aspect of an entry as archived and as it is now. */
    static void compare(VerificationTable table, String path, int archived, int current, StreamRecords was,
            StreamRecords now) {
        boolean dataSame = StreamRecords.same(was.data(), now.data());
        boolean streamsSame = was.streams().equals(now.streams());
        boolean attributesSame = (archived & FileAttributes.COMPARED) == (current & FileAttributes.COMPARED);
        boolean securitySame = StreamRecords.same(was.security(), now.security());
        boolean encryptedSame = (archived & FileAttributes.ENCRYPTED) == (current & FileAttributes.ENCRYPTED);
        String data = was.data() == null && now.data() == null ? VerificationTable.NONE
                : dataSame ? VerificationTable.SAME : VerificationTable.DIFFERENT;
        String streams = was.streams().isEmpty() && now.streams().isEmpty() ? VerificationTable.NONE
                : (streamsSame ? VerificationTable.SAME : VerificationTable.DIFFERENT) + " ("
                        + now.streams().size() + ")";
        String attributes = attributesSame ? VerificationTable.SAME + " " + FileAttributes.letters(current)
                : VerificationTable.DIFFERENT + " " + FileAttributes.letters(archived) + "/"
                        + FileAttributes.letters(current);
        String security = securitySame ? VerificationTable.SAME : VerificationTable.DIFFERENT;
        String encrypted = ((current & FileAttributes.ENCRYPTED) != 0 ? "yes" : "no")
                + (encryptedSame ? "" : " " + VerificationTable.DIFFERENT);
        table.row(SECTION, path, dataSame && streamsSame && attributesSame && securitySame && encryptedSame, data,
                streams, attributes, security, encrypted);
    }
}
