package com.pemrix.vaultcore.os.win32;

import static com.pemrix.vaultcore.os.win32.BackupApi.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import com.pemrix.testsupport.RawTransfer;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.UserDefinedFileAttributeView;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * An encrypted file and an encrypted directory exported raw on this machine and imported into a
 * fresh one, where the user's key (exported with the machine tool) makes them readable again.
 */
class EncryptedRawRoundTripTest {
    private static final String SECRET = "the quarterly ledger: 4,211,903.17";

    @BeforeAll
    static void init() {
        BackupApi.init();
    }

    private static void writeStream(Path file, String name, byte[] contents) throws Exception {
        // Named streams as Samba keeps them: user.DosStream.<name>:$DATA, the contents and a NUL.
        byte[] stored = Arrays.copyOf(contents, contents.length + 1);
        Files.getFileAttributeView(file, UserDefinedFileAttributeView.class)
                .write("DosStream." + name + ":$DATA", ByteBuffer.wrap(stored));
    }

    private static byte[] readStream(Path file, String name) throws Exception {
        UserDefinedFileAttributeView view = Files.getFileAttributeView(file, UserDefinedFileAttributeView.class);
        String attribute = "DosStream." + name + ":$DATA";
        ByteBuffer buffer = ByteBuffer.allocate(view.size(attribute));
        view.read(attribute, buffer);
        return Arrays.copyOf(buffer.array(), buffer.position() - 1);
    }

    private static boolean contains(byte[] haystack, byte[] needle) {
        outer:
        for (int i = 0; i + needle.length <= haystack.length; i++) {
            for (int j = 0; j < needle.length; j++) {
                if (haystack[i + j] != needle[j]) {
                    continue outer;
                }
            }
            return true;
        }
        return false;
    }

    /** Imports a raw file on another machine, in a JVM of that machine, under -Xcheck:jni. */
    private static int importOn(Path machine, Path raw, String target, int flags) throws Exception {
        String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
        ProcessBuilder builder = new ProcessBuilder(java, "-Xcheck:jni", "-Djava.library.path=" + MachineTool.bin(),
                "-cp", System.getenv("TEST_CLASSPATH"), RawTransfer.class.getName(), raw.toString(), target,
                Integer.toString(flags)).redirectErrorStream(true);
        builder.environment().put("WINSIM_ROOT", machine.toString());
        Process process = builder.start();
        String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(process.waitFor(60, TimeUnit.SECONDS));
        assertEquals(0, process.exitValue(), output);
        assertFalse(output.toLowerCase().contains("warning"), output);
        return Integer.parseInt(output.replaceAll("(?s).*result (-?\\d+).*", "$1"));
    }

    @Test
    void filesAndDirectoriesComeBackWholeOnAFreshMachineWithTheUsersKey() throws Exception {
        String dir = Machine.freshDirectory("raw");
        String file = dir + "\\ledger.dat";
        Path host = Machine.host(file);
        byte[] data = new byte[300_000];
        for (int i = 0; i < data.length; i++) {
            data[i] = (byte) (i * 7 + i / 251);
        }
        byte[] secret = SECRET.getBytes(StandardCharsets.UTF_8);
        System.arraycopy(secret, 0, data, 1000, secret.length);
        Files.write(host, data);
        writeStream(host, "summary", (SECRET + " (summary)").getBytes(StandardCharsets.UTF_8));
        writeStream(host, "thumbnail", new byte[] {1, 2, 3});
        SetFileAttributes(file, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM);
        String folder = dir + "\\vault";
        Files.createDirectory(Machine.host(folder));
        writeStream(Machine.host(folder), "index", secret);

        MachineTool.run("efs", "encrypt", file);
        MachineTool.run("efs", "encrypt", folder);
        int attributes = GetFileAttributes(file);
        assertEquals(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ENCRYPTED, attributes);
        // Neither attribute function sets or clears the encrypted state.
        SetFileAttributes(file, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM);
        assertEquals(attributes, GetFileAttributes(file));
        assertEquals(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ENCRYPTED, GetFileAttributes(folder));

        byte[] rawFile = RawTransfer.export(file, 0, 4096);
        byte[] rawFolder = RawTransfer.export(folder, CREATE_FOR_DIR, 4096);
        assertTrue(rawFile.length > data.length);
        assertFalse(contains(rawFile, secret), "the raw form carries ciphertext only");
        assertFalse(contains(rawFolder, secret), "the raw form carries ciphertext only");

        Path scratch = Files.createTempDirectory("raw-round-trip");
        Path fresh = scratch.resolve("machine");
        try {
            Path key = scratch.resolve("user.key");
            MachineTool.run("efs", "key", "export", key.toString(), "--password", "correct horse");
            Files.write(scratch.resolve("file.raw"), rawFile);
            Files.write(scratch.resolve("folder.raw"), rawFolder);
            Files.createDirectories(fresh);
            MachineTool.runOn(fresh, "create");
            Files.createDirectories(fresh.resolve("drive_c/restored"));

            // The restore runs as a backup operator would: with the restore privilege of an
            // administrator's process and no key of the user.
            assertEquals(0, importOn(fresh, scratch.resolve("file.raw"), "C:\\restored\\ledger.dat", 0));
            assertEquals(0, importOn(fresh, scratch.resolve("folder.raw"), "C:\\restored\\vault", CREATE_FOR_DIR));
            String shown = MachineTool.runOn(fresh, "efs", "show", "C:\\restored\\ledger.dat");
            assertTrue(shown.contains("attributes 0x4024") && shown.contains("encrypted  yes"), shown);
            Path restored = fresh.resolve("drive_c/restored/ledger.dat");
            assertFalse(contains(Files.readAllBytes(restored), secret));

            IllegalStateException noKey = assertThrows(IllegalStateException.class,
                    () -> MachineTool.runOn(fresh, "efs", "decrypt", "C:\\restored\\ledger.dat"));
            assertTrue(noKey.getMessage().contains("There are no EFS keys defined for the user."), noKey.getMessage());
            MachineTool.runOn(fresh, "efs", "key", "import", key.toString(), "--password", "correct horse");
            MachineTool.runOn(fresh, "efs", "decrypt", "C:\\restored\\ledger.dat");
            MachineTool.runOn(fresh, "efs", "decrypt", "C:\\restored\\vault");

            assertArrayEquals(data, Files.readAllBytes(restored));
            assertEquals(SECRET + " (summary)", new String(readStream(restored, "summary"), StandardCharsets.UTF_8));
            assertArrayEquals(new byte[] {1, 2, 3}, readStream(restored, "thumbnail"));
            assertArrayEquals(secret, readStream(fresh.resolve("drive_c/restored/vault"), "index"));
            assertTrue(MachineTool.runOn(fresh, "efs", "show", "C:\\restored\\ledger.dat").contains("attributes 0x24"));
            assertTrue(MachineTool.runOn(fresh, "efs", "show", "C:\\restored\\vault").contains("encrypted  no"));
        } finally {
            List<Path> all = new ArrayList<>();
            try (var walk = Files.walk(scratch)) {
                walk.forEach(all::add);
            }
            all.sort(Comparator.reverseOrder());
            for (Path path : all) {
                Files.deleteIfExists(path);
            }
        }
    }
}
