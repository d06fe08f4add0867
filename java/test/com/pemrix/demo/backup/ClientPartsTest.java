package com.pemrix.demo.backup;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.Properties;
import java.util.Random;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The parts of the backup client that need no machine: manifest, paths, settings, archive, comparisons. */
class ClientPartsTest {
    @TempDir
    Path directory;

    @Test
    void manifestValuesSurviveWhateverTheyHold() throws Exception {
        Manifest manifest = new Manifest();
        String odd = "tab\there, line\r\nend, 100% = sure, nul\0, \ud83d\udcbe disk, Ümlaut";
        manifest.add("file").put("path", odd).put("empty", "").put("size", 5_000_000_000L);
        manifest.add("future-kind").put("anything", "kept");
        byte[] text = manifest.encode();
        assertEquals(3, new String(text, StandardCharsets.UTF_8).split("\n").length, "one record per line");

        Manifest read = Manifest.decode(text);
        assertEquals(odd, read.one("file").get("path"));
        assertEquals("", read.one("file").get("empty"));
        assertEquals(5_000_000_000L, read.one("file").getLong("size"));
        assertEquals("kept", read.one("future-kind").get("anything"));
        assertEquals("the manifest's file record has no entry",
                assertThrows(ArchiveException.class, () -> read.one("file").get("entry")).getMessage());
    }

    @Test
    void aDamagedManifestIsRefused() {
        byte[] good = "qzbackup-archive 1\nfile\tpath=C:\\a\n".getBytes(StandardCharsets.UTF_8);
        assertEquals("not an archive of this client (its manifest begins \"PK\")",
                assertThrows(ArchiveException.class, () -> Manifest.decode("PK\n".getBytes(StandardCharsets.UTF_8)))
                        .getMessage());
        byte[] cut = java.util.Arrays.copyOf(good, good.length - 1);
        assertEquals("the manifest is cut short", assertThrows(ArchiveException.class, () -> Manifest.decode(cut))
                .getMessage());
        for (String line : new String[] {"file\tpath", "file\tpath=%4", "file\tpath=%zz", "File\tpath=x"}) {
            byte[] bad = ("qzbackup-archive 1\n" + line + "\n").getBytes(StandardCharsets.UTF_8);
            assertTrue(assertThrows(ArchiveException.class, () -> Manifest.decode(bad)).getMessage()
                    .startsWith("line 2 of the manifest is damaged"), line);
        }
        byte[] notText = {'q', 'z', (byte) 0xff, '\n'};
        assertEquals("the manifest is not UTF-8 text",
                assertThrows(ArchiveException.class, () -> Manifest.decode(notText)).getMessage());
    }

    @Test
    void windowsPathsCompareWithoutCaseAndAtNameBoundaries() {
        assertTrue(WindowsPaths.isWithin("C:\\data\\x.txt", "C:\\Data"));
        assertTrue(WindowsPaths.isWithin("C:\\Data", "c:\\data\\"));
        assertTrue(WindowsPaths.isWithin("C:\\Data\\x", "C:\\"));
        assertFalse(WindowsPaths.isWithin("C:\\Database", "C:\\Data"));
        assertEquals("", WindowsPaths.relative("C:\\", "C:\\"));
        assertEquals("Ada\\x", WindowsPaths.relative("c:\\users\\Ada\\x", "C:\\Users"));
        assertEquals("C:\\x", WindowsPaths.join("C:\\", "x"));
        assertEquals("C:\\", WindowsPaths.trim("C:"));
        assertTrue(WindowsPaths.matches("2026-11.DAT", "*.dat"));
        assertTrue(WindowsPaths.matches("journal.db", "journal.db"));
        assertTrue(WindowsPaths.matches("a.log", "?.log"));
        assertFalse(WindowsPaths.matches("ab.log", "?.log"));
        assertFalse(WindowsPaths.matches("x.dat.bak", "*.dat"));
        assertTrue(WindowsPaths.matches("anything", "*.*"));
    }

    @Test
    void settingsKeepWindowsPathsAndRefuseWhatCannotWork() throws Exception {
        Path file = directory.resolve("backup.properties");
        Files.writeString(file, "# settings\narchive = C:\\Backups\\machine.zip\nexclude=C:\\Temp;;C:\\Windows\\\n"
                + "max-rate=2.5\n");
        JobSettings settings = JobSettings.load(file);
        assertEquals("C:\\Backups\\machine.zip", settings.archive);
        assertEquals("C:\\Backups\\machine.zip.partial", settings.partialArchive());
        assertEquals(java.util.List.of("C:\\Temp", "C:\\Windows"), settings.exclude);
        assertEquals(java.util.List.of("C:\\"), settings.include);
        assertEquals(2.5, settings.maxRateMiB);
        assertEquals("backup", settings.defaultJob);

        Map<String, String> refused = new LinkedHashMap<>();
        refused.put("", "names no archive");
        refused.put("archive=backup.zip", "archive must be an absolute path such as C:\\dir, not backup.zip");
        refused.put("archive=C:\\a.zip\ninclude=D:\\x", "include D:\\x is not on the volume C:\\");
        refused.put("archive=C:\\a.zip\nmax-rate=-1", "max-rate must not be negative");
        refused.put("archive=C:\\a.zip\nmax-rate=fast", "max-rate is not a number: fast");
        refused.put("archive=C:\\a.zip\njob=tidy", "no such job: tidy (backup, restore or verify)");
        refused.put("archive=C:\\a.zip\nvolume=C:\\Data", "volume must be a drive's root such as C:\\, not C:\\Data");
        refused.put("archive=C:\\a.zip\njust words", "not a \"key = value\" line: just words");
        for (Map.Entry<String, String> entry : refused.entrySet()) {
            Files.writeString(file, entry.getKey() + "\n");
            assertEquals("backup.properties: " + entry.getValue(),
                    assertThrows(JobFailure.class, () -> JobSettings.load(file)).getMessage());
        }
        assertThrows(IllegalArgumentException.class, () -> JobSettings.parse(new Properties()));
    }

    private ArchiveWriter writer(Manifest manifest) throws IOException {
        return new ArchiveWriter(directory.resolve("a.zip"), directory.resolve("a.zip.partial"), manifest);
    }

    @Test
    void entriesSmallAndLargerThanMemoryComeBackAsWritten() throws Exception {
        byte[] large = new byte[ArchiveWriter.MEMORY_LIMIT + 12345];
        new Random(1).nextBytes(large);
        Manifest manifest = new Manifest();
        int[] passes = {0};
        try (ArchiveWriter archive = writer(manifest)) {
            archive.put("small", "tiny".getBytes(StandardCharsets.UTF_8));
            archive.put("large", () -> {
                passes[0]++;
                return new ByteArrayInputStream(large);
            });
            assertFalse(Files.exists(directory.resolve("a.zip")), "named before it is complete");
            archive.commit();
        }
        assertEquals(2, passes[0], "an entry larger than memory is measured, then written");
        assertFalse(Files.exists(directory.resolve("a.zip.partial")));
        try (ArchiveReader reader = ArchiveReader.open(directory.resolve("a.zip"), "a.zip")) {
            reader.verify(new JobControl());
            assertEquals("tiny", new String(reader.read("small"), StandardCharsets.UTF_8));
            assertArrayEquals(large, reader.read("large"));
            assertEquals(Long.toString(large.length), reader.entryRecord("large").get("length"));
        }
    }

    @Test
    void aSourceThatFailsIsLeftOutAndOneThatChangesFailsTheArchive() throws Exception {
        Path target = directory.resolve("a.zip");
        Files.writeString(target, "the last good archive");
        Manifest manifest = new Manifest();
        try (ArchiveWriter archive = writer(manifest)) {
            assertThrows(ArchiveWriter.UnreadableSource.class, () -> archive.put("gone", () -> new InputStream() {
                private boolean once;

                @Override
                public int read() throws IOException {
                    if (once) {
                        throw new IOException("The system cannot find the file specified.");
                    }
                    once = true;
                    return 1;
                }
            }));
            archive.put("next", new byte[] {2});
            assertEquals(1, archive.entries());
            byte[] large = new byte[ArchiveWriter.MEMORY_LIMIT + 1];
            int[] pass = {0};
            assertThrows(IOException.class, () -> archive.put("changing", () -> {
                large[0] = (byte) pass[0]++;
                return new ByteArrayInputStream(large);
            }));
        }
        assertEquals("the last good archive", Files.readString(target),
                "an archive that was not committed replaced it");
        assertFalse(Files.exists(directory.resolve("a.zip.partial")));
    }

    @Test
    void aDamagedEntryOrAMissingOneIsFoundBeforeAnythingIsUsed() throws Exception {
        Path target = directory.resolve("a.zip");
        byte[] data = new byte[200_000];
        new Random(2).nextBytes(data);
        Manifest manifest = new Manifest();
        try (ArchiveWriter archive = writer(manifest)) {
            archive.put("files/000001", data);
            manifest.add("entry").put("name", "files/000002").put("length", 1).put("crc", "00000000");
            archive.commit();
        }
        try (ArchiveReader reader = ArchiveReader.open(target, "a.zip")) {
            assertEquals("the archive a.zip is damaged: its entry files/000002 is missing",
                    assertThrows(ArchiveException.class, () -> reader.verify(new JobControl())).getMessage());
        }

        manifest = new Manifest();
        try (ArchiveWriter archive = writer(manifest)) {
            archive.put("files/000001", data);
            archive.commit();
        }
        byte[] zip = Files.readAllBytes(target);
        zip[zip.length / 3] ^= 1;
        Files.write(target, zip);
        try (ArchiveReader reader = ArchiveReader.open(target, "a.zip")) {
            assertEquals("the archive a.zip is damaged: its entry files/000001 does not match its checksum",
                    assertThrows(ArchiveException.class, () -> reader.verify(new JobControl())).getMessage());
        }
        Files.write(target, java.util.Arrays.copyOf(zip, 1000));
        assertTrue(assertThrows(ArchiveException.class, () -> ArchiveReader.open(target, "a.zip")).getMessage()
                .startsWith("the archive a.zip is damaged or incomplete"));
        assertEquals("the archive b.zip does not exist", assertThrows(ArchiveException.class,
                () -> ArchiveReader.open(directory.resolve("b.zip"), "b.zip")).getMessage());
    }

    @Test
    void streamRecordsAreComparedPartByPartInAnyOrder() throws Exception {
        byte[] data = DemoTree.record(StreamRecords.BACKUP_DATA, "", "data".getBytes(StandardCharsets.UTF_8));
        byte[] stream = DemoTree.record(StreamRecords.BACKUP_ALTERNATE_DATA, ":s:$DATA", new byte[] {1});
        byte[] security = DemoTree.record(StreamRecords.BACKUP_SECURITY_DATA, "", new byte[] {1, 0, 4, (byte) 0x80});
        StreamRecords one = StreamRecords.read(new ByteArrayInputStream(concat(security, data, stream)), new byte[3]);
        StreamRecords other = StreamRecords.read(new ByteArrayInputStream(concat(data, stream, security)),
                new byte[64]);
        assertEquals(one.records, other.records);
        assertEquals(4, one.data().length);
        assertEquals(java.util.Set.of(":s:$DATA"), one.streams().keySet());

        byte[] cut = java.util.Arrays.copyOf(concat(data, stream), data.length + 30);
        assertThrows(EOFException.class, () -> StreamRecords.read(new ByteArrayInputStream(cut), new byte[16]));
        byte[] header = java.util.Arrays.copyOf(data, 12);
        assertThrows(EOFException.class, () -> StreamRecords.read(new ByteArrayInputStream(header), new byte[16]));
    }

    private static byte[] concat(byte[]... parts) {
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        for (byte[] part : parts) {
            out.writeBytes(part);
        }
        return out.toByteArray();
    }

    @Test
    void registryKeysAreComparedValueByValue() {
        Map<String, Map<String, String>> archived = new LinkedHashMap<>();
        archived.put("", new LinkedHashMap<>());
        archived.put("Ledger", new LinkedHashMap<>(Map.of("Posts", "4:42", "", "1:Ledger")));
        archived.put("Gone", new LinkedHashMap<>(Map.of("x", "4:1")));
        Map<String, Map<String, String>> live = new LinkedHashMap<>();
        live.put("", new LinkedHashMap<>());
        live.put("Ledger", new LinkedHashMap<>(Map.of("Posts", "4:43", "", "1:Ledger", "New", "1:n")));
        live.put("Extra", new LinkedHashMap<>());
        VerificationTable table = new VerificationTable();
        table.section(RegistryPart.SECTION, "values", "result");
        RegistryPart.compare(table, "HKLM\\SOFTWARE", archived, live);
        String text = table.render();
        assertTrue(text.matches("(?s).*\nHKLM\\\\SOFTWARE +0 +same\n.*"), text);
        assertTrue(text.matches("(?s).*\nHKLM\\\\SOFTWARE\\\\Ledger +2 +DIFFERENT: Posts, New\n.*"), text);
        assertTrue(text.matches("(?s).*\nHKLM\\\\SOFTWARE\\\\Gone +1 +missing\n.*"), text);
        assertTrue(text.matches("(?s).*\nHKLM\\\\SOFTWARE\\\\Extra +0 +not in the archive\n.*"), text);
        assertEquals("VERDICT: DIFFERENT - 3 of 4 items do not match the archive", table.verdict());
        assertTrue(text.endsWith(table.verdict() + "\n"));
        assertEquals("VERDICT: NOTHING VERIFIED - the archive holds nothing to compare",
                new VerificationTable().verdict());
    }
}
