package com.pemrix.vss;

import static com.pemrix.vss.BackupComponents.*;
import static com.pemrix.vss.VssTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import java.nio.file.Files;
import java.util.HashMap;
import java.util.Map;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Values on their way through the bridge, each one distinct from the others so that one put in
 * another's place shows: the booleans and numbers Java sends to the service, the fields and
 * records it gets back, texts outside the Basic Multilingual Plane, and failures of the steps.
 */
class PassedValuesTest {
    private static final String VALUES_ID = "{5a1e0000-0000-4000-8000-0000000000a1}";
    private static final String NAMELESS_ID = "{5a1e0000-0000-4000-8000-0000000000a2}";
    /** A component name with a character beyond the Basic Multilingual Plane (a surrogate pair). */
    private static final String WIDE_NAME = "Ledger \uD83D\uDCD2 book";

    private static String failing(String name, String id, String failure) {
        return "<WriterMetadata name=\"" + name + "\" writerId=\"" + id + "\"><Status state=\"8\" failure=\""
                + failure + "\"/></WriterMetadata>";
    }

    @BeforeAll
    static void init() {
        // A second init replaces the bridge's classes and IDs; everything works on.
        VSSFactory.init();
        VSSFactory.init();
        declareLedgerWriter();
        MachineTool.declareWriter("<WriterMetadata name=\"Values\" writerId=\"" + VALUES_ID + "\">\n"
                + "  <RestoreMethod method=\"3\" service=\"Svc\" writerRestore=\"2\" rebootRequired=\"yes\"/>\n"
                + "  <AlternateLocationMapping path=\"C:\\a\" filespec=\"*\" alternate=\"D:\\a\"/>\n"
                + "  <AlternateLocationMapping path=\"C:\\b\" filespec=\"*\" alternate=\"D:\\b\"/>\n"
                + "  <Component name=\"Counted\" type=\"1\" flags=\"6\" selectable=\"no\" selectableForRestore=\"yes\">\n"
                + "    <File path=\"%WINSIM_ROOT%%WINSIM_ROOT%\\x\" filespec=\"%WINSIM_ROOT%*.dat\"/>\n"
                + "    <File path=\"%NO_SUCH_VARIABLE_HERE%\\y\" filespec=\"*\"/>\n"
                + "    <Database path=\"C:\\db\" filespec=\"1.db\"/><Database path=\"C:\\db\" filespec=\"2.db\"/>\n"
                + "    <Database path=\"C:\\db\" filespec=\"3.db\"/>\n"
                + "    <Log path=\"C:\\l\" filespec=\"1.log\"/><Log path=\"C:\\l\" filespec=\"2.log\"/>\n"
                + "    <Log path=\"C:\\l\" filespec=\"3.log\"/><Log path=\"C:\\l\" filespec=\"4.log\"/>\n"
                + "    <Dependency writerId=\"" + WRITER_ID + "\" logicalPath=\"App\" name=\"Data\"/>\n"
                + "    <Dependency writerId=\"" + WRITER_ID + "\" name=\"Journal\"/>\n"
                + "    <Dependency writerId=\"" + WRITER_ID + "\" name=\"a\"/>\n"
                + "    <Dependency writerId=\"" + WRITER_ID + "\" name=\"b\"/>\n"
                + "    <Dependency writerId=\"" + WRITER_ID + "\" name=\"c\"/>\n"
                + "  </Component>\n"
                + "  <Component name=\"Metadata\" selectable=\"no\" restoreMetadata=\"yes\"/>\n"
                + "  <Component name=\"" + WIDE_NAME + "\" logicalPath=\"\uD83D\uDCD2\" selectable=\"yes\"/>\n"
                + "</WriterMetadata>\n");
        MachineTool.declareWriter(failing("Out of resources", "{5a1e0000-0000-4000-8000-0000000000b2}", "0x800423F1"));
        MachineTool.declareWriter(failing("Timed out", "{5a1e0000-0000-4000-8000-0000000000b3}", "0x800423F2"));
        MachineTool.declareWriter(failing("Not retryable", "{5a1e0000-0000-4000-8000-0000000000b5}", "0x800423F4"));
        MachineTool.declareWriter("<WriterMetadata writerId=\"" + NAMELESS_ID + "\"/>");
    }

    /** The metadata of the writer with this identifier, from a gathered requester. */
    private static long writerMetadata(long h, String id) throws VssException {
        for (int i = 0; i < getWriterMetadataCount(h); i++) {
            long metadata = getWriterMetadata(h, i).handle();
            if (java.util.Arrays.equals(guid(id), WriterMetaData.GetWriterId(metadata))) {
                return metadata;
            }
            VSSFactory.delete_CUnknown(metadata);
        }
        throw new AssertionError("no writer " + id);
    }

    @Test
    void theTwoBooleansOfSetStateKeepTheirOrder() throws Exception {
        try (Requester first = new Requester(); Requester second = new Requester()) {
            initializeForBackup(first.h);
            setState(true, false, VSS_BT_INCREMENTAL, first.h);
            String document = SaveAsXml(first.h);
            assertTrue(document.contains("selectComponents=\"yes\" bootableSystemState=\"no\" backupType=\"2\""),
                    document);
            initializeForBackup(second.h);
            setState(false, true, VSS_BT_LOG, second.h);
            document = SaveAsXml(second.h);
            assertTrue(document.contains("selectComponents=\"no\" bootableSystemState=\"yes\" backupType=\"4\""),
                    document);
        }
    }

    @Test
    void falseReachesTheServiceForBackupSucceededAndSelectedForRestore() throws Exception {
        String document;
        try (Requester backup = new Requester()) {
            snapshotOfC(backup.h);
            SetBackupSucceeded(backup.h, guid(INSTANCE_ID), guid(WRITER_ID), VSS_CT_FILEGROUP, "App", "Data", true);
            assertTrue(SaveAsXml(backup.h).contains("backupSucceeded=\"yes\""));
            SetBackupSucceeded(backup.h, guid(INSTANCE_ID), guid(WRITER_ID), VSS_CT_FILEGROUP, "App", "Data", false);
            document = SaveAsXml(backup.h);
            assertTrue(document.contains("backupSucceeded=\"no\""), document);
        }
        try (Requester restore = new Requester()) {
            LoadFromXML(restore.h, document);
            gatherWriterMetadata(restore.h);
            SetSelectedForRestore(restore.h, guid(WRITER_ID), VSS_CT_FILEGROUP, "App", "Data", true);
            assertTrue(SaveAsXml(restore.h).contains("selectedForRestore=\"yes\""));
            SetSelectedForRestore(restore.h, guid(WRITER_ID), VSS_CT_FILEGROUP, "App", "Data", false);
            assertTrue(SaveAsXml(restore.h).contains("selectedForRestore=\"no\""));
        }
    }

    @Test
    void everyFieldOfAComponentComesFromItsOwnMember() throws Exception {
        try (Requester requester = new Requester()) {
            initializeForBackup(requester.h);
            gatherWriterMetadata(requester.h);
            long metadata = writerMetadata(requester.h, VALUES_ID);
            try {
                WMComponent counted = WriterMetaData.getComponent(metadata, 0);
                counted.getInfo(counted.handle());
                assertEquals(VSS_CT_DATABASE, counted.type);
                assertEquals(2, counted.fileCount);
                assertEquals(3, counted.databaseCount);
                assertEquals(4, counted.logfileCount);
                assertEquals(5, counted.dependencyCount);
                assertEquals(6, counted.flags);
                assertEquals("Counted", counted.componentName);
                assertNull(counted.logicalPath);
                assertFalse(counted.selectable);
                assertTrue(counted.selectableForRestore);
                assertFalse(counted.restoreMetadata);

                WMComponent restoreMetadata = WriterMetaData.getComponent(metadata, 1);
                restoreMetadata.getInfo(restoreMetadata.handle());
                assertFalse(restoreMetadata.selectable);
                assertFalse(restoreMetadata.selectableForRestore);
                assertTrue(restoreMetadata.restoreMetadata);

                long grows = WMComponent.getFile(counted.handle(), 0).handle();
                String root = System.getenv("WINSIM_ROOT");
                assertEquals(root + root + "\\x", FileDescriptor.getPath(grows));
                assertEquals("%WINSIM_ROOT%*.dat", FileDescriptor.getSpec(grows));
                long undefined = WMComponent.getFile(counted.handle(), 1).handle();
                assertEquals("%NO_SUCH_VARIABLE_HERE%\\y", FileDescriptor.getPath(undefined));
                for (long handle : new long[] {undefined, grows, restoreMetadata.handle(), counted.handle()}) {
                    VSSFactory.delete_CUnknown(handle);
                }

                VssRestoreInfo restore = WriterMetaData.getRestoreInfo(metadata);
                assertEquals(3, restore.method);
                assertEquals("Svc", restore.service);
                assertEquals(2, restore.writerRestore);
                assertTrue(restore.rebootRequired);
                assertEquals("", restore.userProcedure);
                assertEquals(2, restore.mappings);
            } finally {
                VSSFactory.delete_CUnknown(metadata);
            }
        }
        assertEquals(0, aliveObjects());
    }

    @Test
    void failureCodesAndAWriterWithoutAName() throws Exception {
        Map<String, WriterStatus> byWriter = new HashMap<>();
        try (Requester requester = new Requester()) {
            initializeForBackup(requester.h);
            GatherWriterStatusN(requester.h);
            for (int i = 0; i < GetWriterStatusCnt(requester.h); i++) {
                WriterStatus status = GetWriterStatus(requester.h, i);
                byWriter.put(status.name, status);
            }
        }
        assertEquals(WriterStatus.OUT_OF_RESOURCES, byWriter.get("Out of resources").failureCode);
        assertEquals(WriterStatus.TIMEOUT, byWriter.get("Timed out").failureCode);
        assertEquals(WriterStatus.NON_RETRYABLE, byWriter.get("Not retryable").failureCode);
        WriterStatus nameless = byWriter.get("");
        assertNotNull(nameless, "a writer without a name is reported with the empty name");
        assertArrayEquals(guid(NAMELESS_ID), nameless.writerId);
        assertEquals(WriterStatus.NO_FAILURE, nameless.failureCode);
    }

    @Test
    void textBeyondTheBasicPlaneSurvivesTheServiceAndTheDocuments() throws Exception {
        String backupDocument;
        String metadataDocument;
        try (Requester backup = new Requester()) {
            initializeForBackup(backup.h);
            setState(true, false, VSS_BT_FULL, backup.h);
            gatherWriterMetadata(backup.h);
            long metadata = writerMetadata(backup.h, VALUES_ID);
            WMComponent wide = WriterMetaData.getComponent(metadata, 2);
            wide.getInfo(wide.handle());
            assertEquals(WIDE_NAME, wide.componentName);
            assertEquals("\uD83D\uDCD2", wide.logicalPath);
            VSSFactory.delete_CUnknown(wide.handle());
            metadataDocument = WriterMetaData.SaveAsXML(metadata);
            byte[] instance = WriterMetaData.GetInstanceId(metadata);
            VSSFactory.delete_CUnknown(metadata);
            AddComponent(backup.h, instance, guid(VALUES_ID), VSS_CT_FILEGROUP, "\uD83D\uDCD2", WIDE_NAME);
            backupDocument = SaveAsXml(backup.h);

            long created = WriterMetaData.Create(metadataDocument);
            assertEquals(metadataDocument, WriterMetaData.SaveAsXML(created));
            WMComponent again = WriterMetaData.getComponent(created, 2);
            again.getInfo(again.handle());
            assertEquals(WIDE_NAME, again.componentName);
            VSSFactory.delete_CUnknown(again.handle());
            VSSFactory.delete_CUnknown(created);
        }
        assertTrue(backupDocument.contains(WIDE_NAME), backupDocument);
        try (Requester restore = new Requester()) {
            LoadFromXML(restore.h, backupDocument);
            assertEquals(backupDocument, SaveAsXml(restore.h));
            long components = GetWriterComponents(restore.h, 0).handle();
            long component = WriterComponents.GetComponent(components, 0).handle();
            assertEquals(WIDE_NAME, Component.GetComponentName(component));
            assertEquals("\uD83D\uDCD2", Component.GetLogicalPath(component));
            VSSFactory.delete_CUnknown(component);
            VSSFactory.delete_CUnknown(components);
        }
    }

    @Test
    void aSnapshotSetOfTwoVolumes() throws Exception {
        MachineTool.run("vss", "volume", "add", "E:");
        Files.writeString(Machine.root().resolve("drive_e").resolve("on-e.txt"), "E");
        try (Requester requester = new Requester()) {
            long h = requester.h;
            initializeForBackup(h);
            setState(false, false, VSS_BT_FULL, h);
            gatherWriterMetadata(h);
            startSnapshotSet(h);
            byte[] c = addToSnapshotSet("C:\\", h);
            byte[] e = addToSnapshotSet("E:\\", h);
            prepareForBackup(h);
            doSnapshotSet(h);
            String deviceOfC = getSnapshotDevice(c, h);
            String deviceOfE = getSnapshotDevice(e, h);
            assertNotEquals(deviceOfC, deviceOfE);
            String prefix = "\\\\?\\GLOBALROOT\\Device\\";
            assertTrue(Files.exists(Machine.root().resolve("shadow").resolve(deviceOfE.substring(prefix.length()))
                    .resolve("on-e.txt")));
            assertFalse(Files.exists(Machine.root().resolve("shadow").resolve(deviceOfC.substring(prefix.length()))
                    .resolve("on-e.txt")));
            assertEquals(2, MachineTool.run("vss", "snapshots").lines().count());
        }
        assertEquals("", MachineTool.run("vss", "snapshots"));
    }

    @Test
    void stepsThatFailOrAreCancelled() throws Exception {
        try (Requester requester = new Requester()) {
            long h = requester.h;
            initializeForBackup(h);
            setState(true, false, VSS_BT_FULL, h);
            gatherWriterMetadata(h);
            startSnapshotSet(h);
            addToSnapshotSet("C:\\", h);
            prepareForBackup(h);
            withSetting("vss.async.BackupComponents.DoSnapshotSet", "0x80042306",
                    () -> expectVss("Provider veto - see event log", () -> doSnapshotSet(h)));
            assertEquals("", MachineTool.run("vss", "snapshots"));
            doSnapshotSet(h);
            withSetting("vss.async.BackupComponents.BackupComplete", "cancelled",
                    () -> expectVss("Async call cancelled", () -> backupComplete(h)));
            backupComplete(h);
            String document = SaveAsXml(h);
            try (Requester restore = new Requester()) {
                LoadFromXML(restore.h, document);
                gatherWriterMetadata(restore.h);
                withSetting("vss.async.BackupComponents.PreRestore", "cancelled",
                        () -> expectVss("Async call cancelled", () -> PreRestore(restore.h)));
                PreRestore(restore.h);
                withSetting("vss.async.BackupComponents.PostRestore", "cancelled",
                        () -> expectVss("Async call cancelled", () -> PostRestore(restore.h)));
                PostRestore(restore.h);
                expectVss("VSS in bad state", () -> PostRestore(restore.h));
            }
        }
    }

    @Test
    void aRequesterNeedsAdministrativeRights() throws Exception {
        long initialised = MachineTool.counter("com.initialised");
        withSetting("administrator", "no", () -> expectVss("Access denied", VSSFactory::getBackupComponents0));
        assertEquals(initialised, MachineTool.counter("com.initialised"));
        try (Requester requester = new Requester()) {
            initializeForBackup(requester.h);
        }
    }
}
