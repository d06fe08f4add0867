package com.pemrix.vss;

import static com.pemrix.vss.BackupComponents.*;
import static com.pemrix.vss.VssTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import java.util.LinkedHashMap;
import java.util.Map;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** Every result the service can give reaches Java as VssException with its own message. */
class ResultMessagesTest {
    private static final String INITIALIZE = "vss.fail.BackupComponents.InitializeForBackup";
    private static final String PREPARE = "vss.async.BackupComponents.PrepareForBackup";

    @BeforeAll
    static void init() {
        VSSFactory.init();
    }

    @Test
    void eachResultHasItsMessage() throws Exception {
        Map<String, String> table = new LinkedHashMap<>();
        table.put("0x00000001", "Call returned \"False\"");
        table.put("0x80004001", "Call returned \"Not implemented\"");
        table.put("0x80004003", "A required pointer parameter is NULL");
        table.put("0x80004005", "Internal COM failure");
        table.put("0x8000FFFF", "Unexpected error");
        table.put("0x80042301", "VSS in bad state");
        table.put("0x80042304", "Provider not registered");
        table.put("0x80042306", "Provider veto - see event log");
        table.put("0x80042308", "VSS Object not found");
        table.put("0x8004230C", "Volume not supported");
        table.put("0x8004230D", "VSS Object already exists");
        table.put("0x8004230E", "Volume not supported by provider");
        table.put("0x8004230F", "Unexpected provider error");
        table.put("0x80042310", "Invalid or corrupted XML document");
        table.put("0x80042312", "Maximum number of volumes reached");
        table.put("0x80042313", "The system was unable to flush IO writes");
        table.put("0x80042314", "The system was unable to hold IO writes");
        table.put("0x80042316", "VSS Snapshot already in progress");
        table.put("0x80042317", "Maximum number of snapshots reached");
        table.put("0x80042318", "VSS writer infrastructure not operating properly");
        table.put("0x8004231F", "Insufficient storage");
        table.put("0x80070005", "Access denied");
        table.put("0x8007000E", "Out of memory");
        table.put("0x80070057", "Ivalid argument");
        for (String unknown : new String[] {"0x80042305", "0x80042311", "0x80042315", "0x80042319", "0x8004231E",
                "0x00042309", "0x0004230A", "0x0004230B", "0x80070002", "0x00000002"}) {
            table.put(unknown, "Unknown VSS or COM error");
        }
        try (Requester requester = new Requester()) {
            for (Map.Entry<String, String> entry : table.entrySet()) {
                withSetting(INITIALIZE, entry.getKey(), () -> expectVss(entry.getValue(),
                        () -> initializeForBackup(requester.h)));
            }
            initializeForBackup(requester.h);
        }
    }

    @Test
    void asynchronousOperationsEndAsTheServiceSays() throws Exception {
        try (Requester requester = new Requester()) {
            long h = requester.h;
            initializeForBackup(h);
            setState(false, false, VSS_BT_COPY, h);
            gatherWriterMetadata(h);
            withSetting(PREPARE, "cancelled", () -> expectVss("Async call cancelled", () -> prepareForBackup(h)));
            withSetting(PREPARE, "pending", () -> expectVss("Async call pending", () -> prepareForBackup(h)));
            withSetting(PREPARE, "0x80042306", () -> expectVss("Provider veto - see event log",
                    () -> prepareForBackup(h)));
            withSetting(PREPARE, "0x0004230C", () -> expectVss("Unknown VSS or COM error", () -> prepareForBackup(h)));
            // A final status of S_OK is success, like VSS_S_ASYNC_FINISHED.
            withSetting(PREPARE, "0x0", () -> prepareForBackup(h));
            expectVss("VSS in bad state", () -> prepareForBackup(h));
        }
        // The operation was done; only waiting for it failed.
        for (String[] failure : new String[][] {{"vss.fail.Async.Wait", "0x80004005", "Internal COM failure"},
                {"vss.fail.Async.QueryStatus", "0x8000FFFF", "Unexpected error"}}) {
            try (Requester requester = new Requester()) {
                long h = requester.h;
                initializeForBackup(h);
                setState(false, false, VSS_BT_COPY, h);
                gatherWriterMetadata(h);
                withSetting(failure[0], failure[1], () -> expectVss(failure[2], () -> prepareForBackup(h)));
            }
        }
        assertEquals(0, MachineTool.counter("vss.alive.Async"));
    }

    @Test
    void aFailedRequesterCreationRaisesAndLeavesCOMAsItWas() throws Exception {
        long initialised = MachineTool.counter("com.initialised");
        withSetting("vss.fail.CreateVssBackupComponents", "0x8007000E", () -> {
            VssException raised = assertThrows(VssException.class, VSSFactory::getBackupComponents0);
            assertEquals("Out of memory", raised.getMessage());
        });
        assertEquals(initialised, MachineTool.counter("com.initialised"));
        try (Requester requester = new Requester()) {
            assertNotEquals(0, requester.h);
            assertEquals(initialised + 1, MachineTool.counter("com.initialised"));
        }
        assertEquals(initialised, MachineTool.counter("com.initialised"));
    }
}
