package com.norvane.dialup;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Desktop;
import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Phonebook entries, dialling, connection states and hang-up against the machine's remote access service. */
class DialupTest {
    private static final String PHONEBOOK = "C:\\ProgramData\\Microsoft\\Network\\Connections\\Pbk\\rasphone.pbk";

    @BeforeEach
    void emptyPhonebookWithoutConnections() throws Exception {
        Files.deleteIfExists(Machine.host(PHONEBOOK));
        WinRasEntry[] active = Pallux.RasEnumConnections();
        if (active != null) {
            for (WinRasEntry connection : active) {
                Pallux.RasHangUp(connection.handle);
            }
        }
    }

    private static void addEntry(String name, String... settings) {
        MachineTool.run("ras", "entry", "add", name, "5550100");
        for (int i = 0; i < settings.length; i += 2) {
            MachineTool.set("ras.entry." + name + "." + settings[i], settings[i + 1]);
        }
    }

    private static int waitForEnd(long handle) {
        AtomicReference<Integer> state = new AtomicReference<>();
        assertTrue(Desktop.eventually(() -> {
            state.set(Pallux.RasGetConnectStatus(handle));
            return state.get() == Pallux.RASCS_CONNECTED || state.get() == Pallux.RASCS_DISCONNECTED;
        }), "the dial did not end");
        return state.get();
    }

    @Test
    void phonebookOfNoneTwentyAndTwentyOneEntries() throws Exception {
        assertArrayEquals(new String[0], Pallux.RasEnumEntries());

        // A phonebook as Windows writes it: CR LF lines, each entry's section with its blocks.
        StringBuilder phonebook = new StringBuilder();
        List<String> names = new ArrayList<>();
        for (int i = 1; i <= 20; i++) {
            String name = "Entry " + i;
            names.add(name);
            phonebook.append("[").append(name).append("]\r\nEncoding=1\r\nType=1\r\n\r\nMEDIA=rastapi\r\n"
                    + "Port=COM1\r\nDevice=Modem\r\n\r\nDEVICE=modem\r\nPhoneNumber=555010").append(i).append("\r\n\r\n");
        }
        Path file = Machine.host(PHONEBOOK);
        Files.createDirectories(file.getParent());
        Files.write(file, phonebook.toString().getBytes(StandardCharsets.UTF_8));
        assertArrayEquals(names.toArray(new String[0]), Pallux.RasEnumEntries());

        // More than the native's room for 20 records: the service answers that the buffer is too small.
        MachineTool.run("ras", "entry", "add", "Entry 21");
        assertNull(Pallux.RasEnumEntries());
    }

    @Test
    void dialReturnsAtOnceAndTheConnectionStepsToConnected() {
        addEntry("Office", "step", "200");
        long handle = Pallux.RasDial("Office", "alice", "secret");
        assertTrue(handle > 0, "handle " + handle);
        int first = Pallux.RasGetConnectStatus(handle);
        assertTrue(first < Pallux.RASCS_CONNECTED, "still dialling: " + first);
        assertEquals(Pallux.RASCS_CONNECTED, waitForEnd(handle));

        WinRasEntry[] active = Pallux.RasEnumConnections();
        assertNotNull(active);
        assertEquals(1, active.length);
        assertEquals("Office", active[0].name);
        assertEquals(handle, active[0].handle);
        assertTrue(MachineTool.run("ras", "connections").contains("Office\tConnected\tuser=alice"));

        assertEquals(0, Pallux.RasHangUp(handle));
        assertEquals(Pallux.NO_CONNECTION, Pallux.RasGetConnectStatus(handle));
        assertNull(Pallux.RasEnumConnections(), "no connection is null, not an empty array");
        assertEquals(6, Pallux.RasHangUp(handle), "ERROR_INVALID_HANDLE for a handle hung up already");
    }

    @Test
    void wrongPasswordEndsDisconnected() {
        addEntry("Secure", "step", "0", "password", "right");
        long handle = Pallux.RasDial("Secure", "bob", "wrong");
        assertTrue(handle > 0);
        assertEquals(Pallux.RASCS_DISCONNECTED, waitForEnd(handle));
        assertTrue(MachineTool.run("ras", "connections").contains("Disconnected (error 691)"));
        assertEquals(0, Pallux.RasHangUp(handle));

        long accepted = Pallux.RasDial("Secure", "bob", "right");
        assertEquals(Pallux.RASCS_CONNECTED, waitForEnd(accepted));
        assertEquals(0, Pallux.RasHangUp(accepted));
    }

    @Test
    void failedDialsComeBackAsSixHundredMinusTheErrorAndLeaveNoConnection() {
        assertEquals(-23, Pallux.RasDial("No such entry", "u", "p"), "ERROR_CANNOT_FIND_PHONEBOOK_ENTRY");
        assertNull(Pallux.RasEnumConnections());

        // The dial fails as it starts, with its connection made: the native hangs it up.
        addEntry("Busy modem");
        MachineTool.set("fail.RasDialA", "633");
        try {
            assertEquals(-33, Pallux.RasDial("Busy modem", "u", "p"), "ERROR_PORT_NOT_AVAILABLE");
        } finally {
            MachineTool.set("fail.RasDialA", "");
        }
        assertNull(Pallux.RasEnumConnections());

        // A system error below 600 would look like a handle: -1 instead.
        MachineTool.set("fail.RasDialA", "87");
        try {
            assertEquals(-1, Pallux.RasDial("Busy modem", "u", "p"));
        } finally {
            MachineTool.set("fail.RasDialA", "");
        }
        assertNull(Pallux.RasEnumConnections());
    }

    @Test
    void statusOfAHandleThatNeverWasIsNoConnection() {
        assertEquals(Pallux.NO_CONNECTION, Pallux.RasGetConnectStatus(0));
        assertEquals(Pallux.NO_CONNECTION, Pallux.RasGetConnectStatus(0x7777777L));
        assertEquals(6, Pallux.RasHangUp(0x7777777L));
    }

    @Test
    void stringsTooLongForTheDialParametersAreRefusedWithoutDialling() {
        addEntry("Office", "step", "0");
        String longest = "x".repeat(256);
        String tooLong = "x".repeat(257);
        long calls = MachineTool.counter("ras.RasDialA");
        assertEquals(-1, Pallux.RasDial(tooLong, "u", "p"));
        assertEquals(-1, Pallux.RasDial("Office", tooLong, "p"));
        assertEquals(-1, Pallux.RasDial("Office", "u", tooLong));
        // Bytes count, not characters: 129 two-byte characters are 258 bytes.
        assertEquals(-1, Pallux.RasDial("Office", "é".repeat(129), "p"));
        assertEquals(calls, MachineTool.counter("ras.RasDialA"));

        long handle = Pallux.RasDial("Office", longest, longest);
        assertTrue(handle > 0);
        assertEquals(0, Pallux.RasHangUp(handle));
    }

    @Test
    void nullStringsRaiseNullPointerException() {
        addEntry("Office");
        assertThrows(NullPointerException.class, () -> Pallux.RasDial(null, "u", "p"));
        assertThrows(NullPointerException.class, () -> Pallux.RasDial("Office", null, "p"));
        assertThrows(NullPointerException.class, () -> Pallux.RasDial("Office", "u", null));
        assertThrows(NullPointerException.class, () -> Pallux.SetTitle(null));
        assertThrows(NullPointerException.class, () -> Pallux.ExecShell(null));
        assertNull(Pallux.RasEnumConnections());
    }

    @Test
    void connectionsDialledWhileListingAreListedWholeOrNotAtAll() throws Exception {
        addEntry("Churn", "step", "0");
        AtomicBoolean stop = new AtomicBoolean();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        Thread dialler = new Thread(() -> {
            try {
                List<Long> open = new ArrayList<>();
                while (!stop.get()) {
                    open.add(Pallux.RasDial("Churn", "u", "p"));
                    if (open.size() > 5) {
                        Pallux.RasHangUp(open.remove(0));
                    }
                }
                open.forEach(Pallux::RasHangUp);
            } catch (Throwable t) {
                failure.set(t);
            }
        });
        dialler.start();
        try {
            int listings = 0;
            for (long end = System.nanoTime() + 1_500_000_000L; System.nanoTime() < end; listings++) {
                WinRasEntry[] active = Pallux.RasEnumConnections();
                if (active == null) {
                    continue;
                }
                for (WinRasEntry connection : active) {
                    assertEquals("Churn", connection.name);
                    assertNotEquals(0, connection.handle);
                }
            }
            assertTrue(listings > 0);
        } finally {
            stop.set(true);
            dialler.join();
        }
        assertNull(failure.get());
    }

    @Test
    void execShellOpensHiddenThroughTheShell() {
        String folder = Machine.freshDirectory("shell");
        Pallux.ExecShell(folder);
        Pallux.ExecShell(folder + "\\missing.txt");
        List<String> executions = Desktop.shellExecutions();
        assertEquals(2, executions.size());
        assertTrue(executions.get(0).contains("verb=\"open\" file=\"" + folder + "\" parameters=\"\" directory=\"\" show=0 result=42"),
                executions.get(0));
        assertTrue(executions.get(1).endsWith("show=0 result=2"), executions.get(1));
    }
}
