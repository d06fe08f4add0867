package com.norvane.dialup;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * A remote access library of an older system, with RasHangUpA and RasEnumEntriesA only: the
 * natives of the functions it lacks give their unavailable values instead of calling nothing.
 */
class RemoteAccessPartialTest {
    @BeforeAll
    static void installTheOlderLibrary() throws Exception {
        Path link = Machine.host("C:\\Windows\\System32\\rasapi32.dll");
        Files.delete(link);
        Files.createSymbolicLink(link, Paths.get(System.getenv("WINSIM_BIN"), "libpartial_rasapi32.so"));
    }

    @Test
    void functionsTheLibraryLacksGiveTheirUnavailableValues() {
        assertArrayEquals(new String[] {"Older library"}, Pallux.RasEnumEntries());
        assertEquals(6, Pallux.RasHangUp(0x40004), "the library's own answer");
        assertEquals(-1, Pallux.RasDial("Older library", "u", "p"));
        assertEquals(Pallux.NO_CONNECTION, Pallux.RasGetConnectStatus(0x40004));
        assertNull(Pallux.RasEnumConnections());
    }
}
