package com.pemrix.vss;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import java.nio.file.Files;
import java.nio.file.Paths;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** Requester objects made and deleted in great numbers leave nothing behind. */
class LifecycleTest {
    @BeforeAll
    static void init() {
        VSSFactory.init();
    }

    private static long residentKilobytes() throws Exception {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        throw new IllegalStateException("no VmRSS");
    }

    private static void cycles(int count) throws VssException {
        for (int i = 0; i < count; i++) {
            BackupComponents components = VSSFactory.getBackupComponents0();
            BackupComponents.initializeForBackup(components.handle());
            VSSFactory.delete_CUnknown(components.handle());
        }
    }

    @Test
    void tenThousandCreateDeleteCyclesKeepMemoryStable() throws Exception {
        long initialised = MachineTool.counter("com.initialised");
        cycles(1000);
        System.gc();
        long before = residentKilobytes();
        cycles(10_000);
        System.gc();
        long growth = residentKilobytes() - before;
        assertEquals(0, MachineTool.counter("vss.alive.BackupComponents"));
        assertEquals(initialised, MachineTool.counter("com.initialised"));
        assertTrue(growth < 4096, "resident memory grew by " + growth + " KB over 10,000 cycles");
    }
}
