package com.pemrix.vss;

import static com.pemrix.vss.BackupComponents.*;
import static com.pemrix.vss.VssTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The backup natives against the service's order of steps, its answers and bad arguments. */
class BackupSequenceTest {
    private Requester requester;
    private long h;

    @BeforeAll
    static void init() {
        VSSFactory.init();
        declareLedgerWriter();
        MachineTool.run("vss", "volume", "add", "D:", "--unsupported");
    }

    @BeforeEach
    void create() throws VssException {
        requester = new Requester();
        h = requester.h;
    }

    @AfterEach
    void delete() {
        requester.close();
    }

    @Test
    void stepsOutOfOrderAreRefusedByTheService() throws Exception {
        expectVss("VSS in bad state", () -> startSnapshotSet(h));
        expectVss("VSS in bad state", () -> gatherWriterMetadata(h));
        expectVss("VSS in bad state", () -> SaveAsXml(h));
        initializeForBackup(h);
        expectVss("VSS in bad state", () -> initializeForBackup(h));
        expectVss("VSS in bad state", () -> LoadFromXML(h, SaveAsXml(h)));
        expectVss("VSS in bad state", () -> getWriterMetadataCount(h));
        expectVss("VSS in bad state", () -> startSnapshotSet(h));
        gatherWriterMetadata(h);
        expectVss("VSS in bad state", () -> prepareForBackup(h));
        setState(true, false, VSS_BT_FULL, h);
        expectVss("VSS in bad state", () -> addToSnapshotSet("C:\\", h));
        startSnapshotSet(h);
        expectVss("VSS Snapshot already in progress", () -> startSnapshotSet(h));
        expectVss("VSS in bad state", () -> doSnapshotSet(h));
        byte[] id = addToSnapshotSet("C:\\", h);
        expectVss("VSS Object not found", () -> getSnapshotDevice(id, h));
        expectVss("VSS in bad state", () -> backupComplete(h));
        prepareForBackup(h);
        expectVss("VSS in bad state", () -> setState(true, false, VSS_BT_FULL, h));
        expectVss("VSS in bad state", () -> prepareForBackup(h));
        doSnapshotSet(h);
        expectVss("VSS in bad state", () -> doSnapshotSet(h));
        expectVss("VSS in bad state", () -> addToSnapshotSet("C:\\", h));
        assertNotNull(getSnapshotDevice(id, h));
        backupComplete(h);
        expectVss("VSS in bad state", () -> backupComplete(h));
        expectVss("VSS in bad state", () -> SetBackupSucceeded(h, guid(INSTANCE_ID), guid(WRITER_ID),
                VSS_CT_FILEGROUP, "App", "Data", true));
    }

    @Test
    void anAbortedBackupReleasesItsSnapshotAndTakesNoMoreSteps() throws Exception {
        byte[] id = snapshotOfC(h);
        assertFalse(MachineTool.run("vss", "snapshots").isEmpty());
        abortBackup(h);
        assertEquals("", MachineTool.run("vss", "snapshots"));
        expectVss("VSS Object not found", () -> getSnapshotDevice(id, h));
        expectVss("VSS in bad state", () -> backupComplete(h));
        expectVss("VSS in bad state", () -> abortBackup(h));
    }

    @Test
    void writerMetadataIsGatheredOnceAndAgainOnlyAfterAFailedGather() throws Exception {
        initializeForBackup(h);
        long before = MachineTool.vssCalls("BackupComponents.GatherWriterMetadata");
        withSetting("vss.async.BackupComponents.GatherWriterMetadata", "cancelled",
                () -> expectVss("Async call cancelled", () -> gatherWriterMetadata(h)));
        gatherWriterMetadata(h);
        gatherWriterMetadata(h);
        gatherWriterMetadata(h);
        assertEquals(before + 2, MachineTool.vssCalls("BackupComponents.GatherWriterMetadata"));
        assertEquals(1, getWriterMetadataCount(h));
        WriterMetaData metadata = getWriterMetadata(h, 0);
        assertNotEquals(0, metadata.handle());
        VSSFactory.delete_CUnknown(metadata.handle());
        expectVss("Ivalid argument", () -> getWriterMetadata(h, 1));
        assertEquals(0, MachineTool.counter("vss.alive.ExamineWriterMetadata"));
    }

    @Test
    void componentsAreCheckedAgainstTheWritersAndNullArgumentsDoNothing() throws Exception {
        initializeForBackup(h);
        setState(true, false, VSS_BT_FULL, h);
        gatherWriterMetadata(h);
        byte[] instance = guid(INSTANCE_ID);
        byte[] writer = guid(WRITER_ID);
        long calls = MachineTool.vssCalls("BackupComponents.AddComponent");
        AddComponent(h, instance, writer, VSS_CT_FILEGROUP, "App", null);
        AddComponent(h, null, writer, VSS_CT_FILEGROUP, "App", "Data");
        AddComponent(h, instance, null, VSS_CT_FILEGROUP, "App", "Data");
        AddComponent(0, instance, writer, VSS_CT_FILEGROUP, "App", "Data");
        SetBackupSucceeded(h, instance, writer, VSS_CT_FILEGROUP, "App", null, true);
        SetBackupSucceeded(0, instance, writer, VSS_CT_FILEGROUP, "App", "Data", true);
        assertEquals(calls, MachineTool.vssCalls("BackupComponents.AddComponent"));
        assertThrows(ArrayIndexOutOfBoundsException.class,
                () -> AddComponent(h, new byte[15], writer, VSS_CT_FILEGROUP, "App", "Data"));
        assertEquals(calls, MachineTool.vssCalls("BackupComponents.AddComponent"));

        expectVss("VSS Object not found", () -> AddComponent(h, instance, writer, VSS_CT_FILEGROUP, "App", "Other"));
        expectVss("VSS Object not found", () -> AddComponent(h, writer, writer, VSS_CT_FILEGROUP, "App", "Data"));
        AddComponent(h, instance, writer, VSS_CT_FILEGROUP, "App", "Data");
        AddComponent(h, instance, writer, VSS_CT_DATABASE, null, "Journal");
        expectVss("VSS Object already exists", () -> AddComponent(h, instance, writer, VSS_CT_FILEGROUP, "app", "data"));
        String document = SaveAsXml(h);
        assertTrue(document.contains("name=\"Journal\""), document);
        assertTrue(document.contains("backupType=\"1\""), document);
        assertTrue(document.contains("partialFileSupport=\"no\""), document);
    }

    @Test
    void volumesAreCheckedByTheService() throws Exception {
        initializeForBackup(h);
        assertTrue(isVolumeSupported("C:\\", h));
        assertTrue(isVolumeSupported("c:\\", h));
        // A volume name ends in a backslash; without it, it names no volume.
        expectVss("VSS Object not found", () -> isVolumeSupported("C:", h));
        assertFalse(isVolumeSupported("D:\\", h));
        expectVss("VSS Object not found", () -> isVolumeSupported("Q:\\", h));
        expectVss("Ivalid argument", () -> isVolumeSupported("no volume", h));
        gatherWriterMetadata(h);
        startSnapshotSet(h);
        expectVss("Volume not supported", () -> addToSnapshotSet("D:\\", h));
        byte[] first = addToSnapshotSet("C:\\", h);
        expectVss("VSS Object already exists", () -> addToSnapshotSet("c:\\", h));
        expectVss("VSS Object not found", () -> addToSnapshotSet("C:", h));
        assertEquals(16, first.length);
    }

    @Test
    void nullArgumentsAndShortIdentifiersRaiseBeforeAnyServiceCall() throws Exception {
        initializeForBackup(h);
        long supported = MachineTool.vssCalls("BackupComponents.IsVolumeSupported");
        long added = MachineTool.vssCalls("BackupComponents.AddToSnapshotSet");
        long properties = MachineTool.vssCalls("BackupComponents.GetSnapshotProperties");
        expectNullPointer("", () -> isVolumeSupported(null, h));
        expectNullPointer("", () -> addToSnapshotSet(null, h));
        expectNullPointer("", () -> getSnapshotDevice(null, h));
        expectNullPointer("", () -> LoadFromXML(h, null));
        assertThrows(ArrayIndexOutOfBoundsException.class, () -> getSnapshotDevice(new byte[8], h));
        assertEquals(supported, MachineTool.vssCalls("BackupComponents.IsVolumeSupported"));
        assertEquals(added, MachineTool.vssCalls("BackupComponents.AddToSnapshotSet"));
        assertEquals(properties, MachineTool.vssCalls("BackupComponents.GetSnapshotProperties"));
    }

    @Test
    void theHandleZeroRaisesNullPointerExceptionInsteadOfCrashing() {
        expectNullPointer("", () -> initializeForBackup(0));
        expectNullPointer("", () -> setState(true, false, VSS_BT_FULL, 0));
        expectNullPointer("", () -> gatherWriterMetadata(0));
        expectNullPointer("", () -> getWriterMetadataCount(0));
        expectNullPointer("", () -> getWriterMetadata(0, 0));
        expectNullPointer("", () -> startSnapshotSet(0));
        expectNullPointer("", () -> isVolumeSupported("C:\\", 0));
        expectNullPointer("", () -> addToSnapshotSet("C:\\", 0));
        expectNullPointer("", () -> prepareForBackup(0));
        expectNullPointer("", () -> doSnapshotSet(0));
        expectNullPointer("", () -> getSnapshotDevice(new byte[16], 0));
        expectNullPointer("", () -> backupComplete(0));
        expectNullPointer("", () -> abortBackup(0));
        expectNullPointer("", () -> SaveAsXml(0));
        expectNullPointer("", () -> LoadFromXML(0, "<BackupComponents/>"));
        VSSFactory.delete_CUnknown(0);
    }

    @Test
    void aFailedSnapshotPropertiesCallFreesNothing() throws Exception {
        byte[] id = snapshotOfC(h);
        long frees = MachineTool.vssCalls("VssFreeSnapshotProperties");
        withSetting("vss.fail.BackupComponents.GetSnapshotProperties", "0x80042302",
                () -> expectVss("Unknown VSS or COM error", () -> getSnapshotDevice(id, h)));
        expectVss("VSS Object not found", () -> getSnapshotDevice(new byte[16], h));
        assertEquals(frees, MachineTool.vssCalls("VssFreeSnapshotProperties"));
        assertNotNull(getSnapshotDevice(id, h));
        assertEquals(frees + 1, MachineTool.vssCalls("VssFreeSnapshotProperties"));
        assertEquals(0, MachineTool.counter("vss.alive.SnapshotProperties"));
    }

    @Test
    void theBackupDocumentComesBackThroughARestoreObject() throws Exception {
        snapshotOfC(h);
        SetBackupSucceeded(h, guid(INSTANCE_ID), guid(WRITER_ID), VSS_CT_FILEGROUP, "App", "Data", true);
        backupComplete(h);
        String saved = SaveAsXml(h);
        try (Requester restore = new Requester()) {
            LoadFromXML(restore.h, saved);
            assertEquals(saved, SaveAsXml(restore.h));
            expectVss("VSS in bad state", () -> initializeForBackup(restore.h));
        }
        try (Requester other = new Requester()) {
            expectVss("Invalid or corrupted XML document", () -> LoadFromXML(other.h, "<BackupComponents"));
        }
        try (Requester other = new Requester()) {
            expectVss("Unknown VSS or COM error", () -> LoadFromXML(other.h, "<WriterMetadata/>"));
        }
        assertEquals(0, MachineTool.counter("oleaut32.bstr.alive"));
    }
}
