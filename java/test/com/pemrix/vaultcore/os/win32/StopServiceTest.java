package com.pemrix.vaultcore.os.win32;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * StopServiceN against the machine's service control manager, with real service processes (the
 * test service of tests/support/scm_test_service.cpp).
 */
class StopServiceTest {
    private final List<String> installed = new ArrayList<>();

    @BeforeAll
    static void init() {
        Util.init();
    }

    @AfterEach
    void cleanUp() throws Exception {
        MachineTool.set("administrator", "yes");
        MachineTool.set("tick.offset", "");
        // Dependents first (the list holds the last installed first); whatever does not stop
        // within a few seconds is ended, so no service process outlives the test's machine.
        Files.writeString(release(), "");
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
        for (String name : installed) {
            while (!state(name).equals("STOPPED") && System.nanoTime() < deadline) {
                try {
                    MachineTool.run("sc", "stop", name);
                } catch (IllegalStateException stoppingAlready) {
                    Thread.sleep(50);
                }
            }
            if (!state(name).equals("STOPPED")) {
                long pid = Long.parseLong(MachineTool.run("sc", "query", name).replaceAll("(?s).*PID\\s+:\\s+(\\d+).*", "$1"));
                ProcessHandle.of(pid).ifPresent(ProcessHandle::destroyForcibly);
            }
        }
    }

    private static Path scratch() {
        return Machine.host("C:\\stop-tests");
    }

    private static Path release() throws Exception {
        Files.createDirectories(scratch());
        return scratch().resolve("release");
    }

    private static Path log() throws Exception {
        Files.createDirectories(scratch());
        return scratch().resolve("log");
    }

    /** Installs the test service, depending on the named services, and starts it with the parameters. */
    private void start(String name, String dependsOn, String... parameters) {
        String program = "\"" + System.getenv("WINSIM_BIN") + "/scm_test_service\"";
        if (dependsOn == null) {
            MachineTool.run("sc", "create", name, program);
        } else {
            MachineTool.run("sc", "create", name, program, name, "--depend", dependsOn);
        }
        installed.add(0, name);
        List<String> command = new ArrayList<>(List.of("sc", "start", name));
        command.addAll(List.of(parameters));
        MachineTool.run(command.toArray(new String[0]));
        // A service takes controls only once it reports running.
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
        while (!state(name).equals("RUNNING")) {
            assertTrue(System.nanoTime() < deadline, name + " never reported running");
            Thread.onSpinWait();
        }
    }

    private static String state(String name) {
        String query = MachineTool.run("sc", "query", name);
        return query.replaceAll("(?s).*STATE\\s+:\\s+\\d+\\s+(\\w+).*", "$1");
    }

    private static long calls(String function) {
        for (String line : MachineTool.run("sc", "calls").split("\n")) {
            String[] parts = line.trim().split(" ");
            if (parts.length == 2 && parts[0].equals(function)) {
                return Long.parseLong(parts[1]);
            }
        }
        return 0;
    }

    @Test
    void aStoppedServiceIsLeftAloneWithoutAControl() throws Exception {
        MachineTool.run("sc", "create", "Idle", "\"" + System.getenv("WINSIM_BIN") + "/scm_test_service\"");
        long controls = calls("ControlService");
        Util.StopServiceN("Idle");
        assertEquals(controls, calls("ControlService"));
    }

    @Test
    void dependentsStopFirstIndirectOnesBeforeThoseTheyDependOn() throws Exception {
        String logFile = "log=" + log();
        start("Base", null, logFile);
        start("Middle", "Base", logFile);
        start("Top", "Middle", logFile);
        start("Side", "Base", logFile);

        Util.StopServiceN("Base");

        for (String name : List.of("Base", "Middle", "Top", "Side")) {
            assertEquals("STOPPED", state(name), name);
        }
        List<String> events = Files.readAllLines(log());
        for (String[] order : new String[][] {{"Top", "Middle"}, {"Middle", "Base"}, {"Side", "Base"}}) {
            int dependentStopped = events.indexOf("stopped " + order[0]);
            int dependencyAsked = events.indexOf("stop " + order[1]);
            assertTrue(dependentStopped >= 0 && dependentStopped < dependencyAsked,
                    order[0] + " stopped before " + order[1] + " was asked: " + events);
        }
        assertTrue(MachineTool.run("sc", "history", "Base").trim().endsWith("0"));
    }

    @Test
    void theManagerRefusesToStopAServiceWhoseDependentsRun() throws Exception {
        start("Held", null);
        start("Holder", "Held");
        IllegalStateException refused = assertThrows(IllegalStateException.class,
                () -> MachineTool.run("sc", "stop", "Held"));
        assertTrue(refused.getMessage().contains("(error 1051)"), refused.getMessage());
        assertEquals("RUNNING", state("Held"));
    }

    @Test
    void aDependentThatStopsByItselfMeanwhileCountsAsStopped() throws Exception {
        Path flag = scratch().resolve("first-stopped");
        Files.createDirectories(scratch());
        start("Root", null);
        start("Inner", "Root", "stopwhen=" + flag);
        // Outer is listed first; while it stops it makes Inner stop by itself, so the stop control
        // then meant for Inner finds it stopped already (1062).
        start("Outer", "Inner", "onstop=" + flag, "waitstopped=Inner");

        Util.StopServiceN("Root");
        assertEquals("STOPPED", state("Root"));
    }

    @Test
    void aServiceStillStopPendingAtTheDeadlineRaisesTheTimeOut() throws Exception {
        Files.deleteIfExists(release());
        start("Stuck", null, "release=" + release(), "stophint=100");
        CompletableFuture<Void> stop = CompletableFuture.runAsync(() -> {
            try {
                Util.StopServiceN("Stuck");
            } catch (Exception e) {
                throw new RuntimeException(e);
            }
        });
        Thread.sleep(700);
        assertFalse(stop.isDone());
        // The tick count jumps past the 30 seconds instead of the test waiting for them.
        MachineTool.set("tick.offset", "40000");
        ExecutionException failed = assertThrows(ExecutionException.class, () -> stop.get(20, TimeUnit.SECONDS));
        assertEquals("This operation returned because the timeout period expired.",
                failed.getCause().getCause().getMessage());
    }

    @Test
    void aWrapOfTheTickCountInsideAStopDoesNotEndIt() throws Exception {
        // GetTickCount is the monotonic clock in milliseconds plus the offset, in 32 bits; this
        // puts the wrap about 300 ms into the stop, which takes about a second.
        long now = System.nanoTime() / 1_000_000;
        long offset = ((1L << 32) - 300 - (now & 0xFFFFFFFFL));
        MachineTool.set("tick.offset", Long.toString(offset));
        start("Wrapping", null, "stopdelay=1000", "stophint=100");
        Util.StopServiceN("Wrapping");
        assertEquals("STOPPED", state("Wrapping"));
    }

    @Test
    void aWaitHintOfZeroDoesNotPollWithoutPause() throws Exception {
        start("Eager", null, "stopdelay=1000", "stophint=0");
        long before = calls("QueryServiceStatusEx");
        Util.StopServiceN("Eager");
        long queries = calls("QueryServiceStatusEx") - before;
        assertEquals("STOPPED", state("Eager"));
        assertTrue(queries < 60, queries + " status queries in one second");
    }

    @Test
    void unknownServicesAndMissingRightsRaiseTheSystemText() throws Exception {
        Exception unknown = assertThrows(Exception.class, () -> Util.StopServiceN("NoSuchService"));
        assertEquals("The specified service does not exist as an installed service.", unknown.getMessage());

        start("Guarded", null);
        MachineTool.set("administrator", "no");
        Exception denied = assertThrows(Exception.class, () -> Util.StopServiceN("Guarded"));
        assertEquals("Access is denied.", denied.getMessage());
        assertEquals("RUNNING", state("Guarded"));

        NullPointerException nullName = assertThrows(NullPointerException.class, () -> Util.StopServiceN(null));
        assertNull(nullName.getMessage());
    }
}
