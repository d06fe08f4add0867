package com.pemrix.vss;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * The snapshots of a requester belong to its process: when the process is killed without
 * releasing them they go, as auto-release snapshots do on Windows, at the service's next call or
 * when the machine tool looks.
 */
class EndedRequesterTest {
    private static final String DEVICE_PREFIX = "\\\\?\\GLOBALROOT\\Device\\";

    @BeforeAll
    static void init() {
        VSSFactory.init();
    }

    /** Starts a requester process that holds a snapshot, kills it, and gives the snapshot's folder. */
    private static Path snapshotOfAKilledRequester() throws Exception {
        String java = ProcessHandle.current().info().command().orElseThrow();
        Process holder = new ProcessBuilder(java, "-Xcheck:jni",
                "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getenv("TEST_CLASSPATH"), SnapshotHolder.class.getName())
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        try {
            BufferedReader output = new BufferedReader(
                    new InputStreamReader(holder.getInputStream(), StandardCharsets.UTF_8));
            String line = output.readLine();
            assertNotNull(line, "the requester process ended without a snapshot");
            assertTrue(line.startsWith("holding " + DEVICE_PREFIX), line);
            String device = line.substring(("holding " + DEVICE_PREFIX).length());
            Path frozen = Machine.root().resolve("shadow").resolve(device);
            assertTrue(Files.isDirectory(frozen), frozen.toString());
            assertTrue(MachineTool.run("vss", "snapshots").contains(device), "listed while its requester lives");
            return frozen;
        } finally {
            holder.destroyForcibly();
            assertTrue(holder.waitFor(30, TimeUnit.SECONDS));
        }
    }

    @Test
    void theMachineToolFindsTheSnapshotGone() throws Exception {
        Path frozen = snapshotOfAKilledRequester();
        String device = frozen.getFileName().toString();
        assertFalse(MachineTool.run("vss", "snapshots").contains(device));
        assertFalse(Files.exists(frozen));
    }

    @Test
    void theServicesNextCallReleasesTheSnapshot() throws Exception {
        Path frozen = snapshotOfAKilledRequester();
        assertTrue(Files.exists(frozen), "nothing has looked since the requester ended");
        long h = VSSFactory.getBackupComponents0().handle();
        try {
            BackupComponents.initializeForBackup(h);
            assertFalse(Files.exists(frozen));
        } finally {
            VSSFactory.delete_CUnknown(h);
        }
    }
}
