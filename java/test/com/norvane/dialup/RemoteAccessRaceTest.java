package com.norvane.dialup;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Connections that appear between the two calls of a listing: the second call says the room is
 * too small and counts more connections than the room holds. The listing asks again instead of
 * reading past its room.
 */
class RemoteAccessRaceTest {
    @BeforeAll
    static void installTheRacingLibrary() throws Exception {
        Path link = Machine.host("C:\\Windows\\System32\\rasapi32.dll");
        Files.delete(link);
        Files.createSymbolicLink(link, Paths.get(System.getenv("WINSIM_BIN"), "libracing_rasapi32.so"));
    }

    @Test
    void aConnectionDialledBetweenTheTwoCallsIsListedOnTheNextTry() {
        for (int round = 0; round < 3; round++) {
            WinRasEntry[] active = Pallux.RasEnumConnections();
            assertNotNull(active);
            assertEquals(2, active.length);
            assertEquals("First", active[0].name);
            assertEquals(0x40004L, active[0].handle);
            assertEquals("Second", active[1].name);
            assertEquals(0x40008L, active[1].handle);
        }
    }
}
