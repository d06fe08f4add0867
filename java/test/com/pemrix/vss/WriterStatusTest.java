package com.pemrix.vss;

import static com.pemrix.vss.BackupComponents.*;
import static com.pemrix.vss.VssTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import java.util.HashMap;
import java.util.Map;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The writers' states and failures as GatherWriterStatusN and GetWriterStatus report them. */
class WriterStatusTest {
    private static final String RETRYING = "{11111111-0000-4000-8000-000000000001}";
    private static final String ODD = "{11111111-0000-4000-8000-000000000002}";
    private static final String LATE = "{11111111-0000-4000-8000-000000000003}";

    private static void declare(String name, String id, String status) {
        MachineTool.declareWriter("<WriterMetadata name=\"" + name + "\" writerId=\"" + id + "\">" + status
                + "</WriterMetadata>");
    }

    @BeforeAll
    static void init() {
        VSSFactory.init();
        declareLedgerWriter();
        declare("Retrying", RETRYING, "<Status state=\"8\" failure=\"0x800423F3\"/>");
        declare("Odd", ODD, "<Status state=\"9\" failure=\"0x80042305\"/>");
        declare("Late", LATE, "<Status state=\"12\" failure=\"0x800423F0\" after=\"BackupComplete\"/>");
    }

    private static Map<String, WriterStatus> statusByName(long h) throws VssException {
        Map<String, WriterStatus> byName = new HashMap<>();
        int count = GetWriterStatusCnt(h);
        for (int i = 0; i < count; i++) {
            WriterStatus status = GetWriterStatus(h, i);
            byName.put(status.name, status);
        }
        return byName;
    }

    @Test
    void failuresMapToTheirCodesAndEachGatherReplacesTheList() throws Exception {
        try (Requester requester = new Requester()) {
            long h = requester.h;
            expectVss("VSS in bad state", () -> GatherWriterStatusN(h));
            byte[] id = snapshotOfC(h);
            assertNotNull(id);
            expectVss("VSS in bad state", () -> GetWriterStatusCnt(h));
            GatherWriterStatusN(h);
            Map<String, WriterStatus> status = statusByName(h);
            assertEquals(4, status.size());
            WriterStatus ledger = status.get(WRITER_NAME);
            assertArrayEquals(guid(WRITER_ID), ledger.writerId);
            assertArrayEquals(guid(INSTANCE_ID), ledger.instanceId);
            assertEquals(5, ledger.state);  // waiting for the backup to complete
            assertEquals(WriterStatus.NO_FAILURE, ledger.failureCode);
            assertEquals(WriterStatus.RETRYABLE, status.get("Retrying").failureCode);
            assertEquals(8, status.get("Retrying").state);
            assertEquals(WriterStatus.OTHER, status.get("Odd").failureCode);
            assertEquals(WriterStatus.NO_FAILURE, status.get("Late").failureCode);

            backupComplete(h);
            assertEquals(1, callsDuring("BackupComponents.FreeWriterStatus", () -> GatherWriterStatusN(h)));
            status = statusByName(h);
            assertEquals(1, status.get(WRITER_NAME).state);
            assertEquals(WriterStatus.INCONSISTENT_SNAPSHOT, status.get("Late").failureCode);
            assertEquals(12, status.get("Late").state);

            withSetting("vss.writer." + WRITER_NAME + ".failure", "0x80042319", () -> {
                GatherWriterStatusN(h);
                assertEquals(WriterStatus.NOT_RESPONDING, statusByName(h).get(WRITER_NAME).failureCode);
            });
            expectVss("Ivalid argument", () -> GetWriterStatus(h, 4));

            // A gather that fails leaves no list behind; the next one starts afresh.
            withSetting("vss.async.BackupComponents.GatherWriterStatus", "cancelled",
                    () -> expectVss("Async call cancelled", () -> GatherWriterStatusN(h)));
            expectVss("VSS in bad state", () -> GetWriterStatusCnt(h));
            assertEquals(0, callsDuring("BackupComponents.FreeWriterStatus", () -> GatherWriterStatusN(h)));
            assertEquals(4, GetWriterStatusCnt(h));
        }
        assertEquals(0, MachineTool.counter("oleaut32.bstr.alive"));
    }

    @Test
    void aStatusListStillHeldIsFreedWithTheObject() throws Exception {
        long frees = MachineTool.vssCalls("BackupComponents.FreeWriterStatus");
        long metadataFrees = MachineTool.vssCalls("BackupComponents.FreeWriterMetadata");
        try (Requester requester = new Requester()) {
            initializeForBackup(requester.h);
            gatherWriterMetadata(requester.h);
            GatherWriterStatusN(requester.h);
        }
        assertEquals(frees + 1, MachineTool.vssCalls("BackupComponents.FreeWriterStatus"));
        assertEquals(metadataFrees + 1, MachineTool.vssCalls("BackupComponents.FreeWriterMetadata"));
    }
}
