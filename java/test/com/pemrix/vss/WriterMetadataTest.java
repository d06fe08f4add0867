package com.pemrix.vss;

import static com.pemrix.vss.VssTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The writers' metadata documents read through WriterMetaData, WMComponent and FileDescriptor. */
class WriterMetadataTest {
    private Requester requester;
    private int ledgerIndex;
    private final List<Long> handles = new ArrayList<>();

    @BeforeAll
    static void init() {
        VSSFactory.init();
        declareLedgerWriter();
        declarePlainWriter();
    }

    @BeforeEach
    void gather() throws VssException {
        requester = new Requester();
        BackupComponents.initializeForBackup(requester.h);
        BackupComponents.gatherWriterMetadata(requester.h);
        assertEquals(2, BackupComponents.getWriterMetadataCount(requester.h));
        long probe = BackupComponents.getWriterMetadata(requester.h, 0).handle();
        ledgerIndex = java.util.Arrays.equals(guid(WRITER_ID), WriterMetaData.GetWriterId(probe)) ? 0 : 1;
        VSSFactory.delete_CUnknown(probe);
    }

    @AfterEach
    void delete() {
        handles.forEach(VSSFactory::delete_CUnknown);
        requester.close();
        assertEquals(0, aliveObjects());
        assertEquals(0, MachineTool.counter("oleaut32.bstr.alive"));
    }

    private long kept(long handle) {
        handles.add(handle);
        return handle;
    }

    /** A new metadata object of a writer, nothing asked of it yet. */
    private long writer(String id) throws VssException {
        int index = id.equals(WRITER_ID) ? ledgerIndex : 1 - ledgerIndex;
        return kept(BackupComponents.getWriterMetadata(requester.h, index).handle());
    }

    @Test
    void theIdentityIsAskedForOnceWhateverTheOrder() throws Exception {
        String[][] orders = {{"name", "usage", "source", "writer", "instance"},
                {"instance", "source", "writer", "name", "usage", "name"},
                {"usage", "usage", "instance", "source", "writer"}};
        for (String[] order : orders) {
            long h = writer(WRITER_ID);
            long calls = callsDuring("ExamineWriterMetadata.GetIdentity", () -> {
                for (String what : order) {
                    switch (what) {
                        case "name": assertEquals(WRITER_NAME, WriterMetaData.getName(h)); break;
                        case "usage": assertEquals(3, WriterMetaData.getUsageType(h)); break;
                        case "source": assertEquals(2, WriterMetaData.getSourceType(h)); break;
                        case "writer": assertArrayEquals(guid(WRITER_ID), WriterMetaData.GetWriterId(h)); break;
                        default: assertArrayEquals(guid(INSTANCE_ID), WriterMetaData.GetInstanceId(h)); break;
                    }
                }
            });
            assertEquals(1, calls, String.join(",", order));
        }
        assertEquals("", WriterMetaData.getName(writer(PLAIN_WRITER_ID)));
    }

    @Test
    void componentsAndTheirInformation() throws Exception {
        long h = writer(WRITER_ID);
        assertEquals(2, callsDuring("ExamineWriterMetadata.GetFileCounts", () -> {
            assertEquals(2, WriterMetaData.getComponentCount(h));
            assertEquals(2, WriterMetaData.getComponentCount(h));
        }));
        WMComponent data = WriterMetaData.getComponent(h, 0);
        kept(data.handle());
        assertEquals(1, callsDuring("WMComponent.GetComponentInfo", () -> {
            data.getInfo(data.handle());
            data.getInfo(data.handle());
        }));
        assertEquals(WMComponent.VSS_CT_FILEGROUP, data.type);
        assertEquals("Data", data.componentName);
        assertEquals("App", data.logicalPath);
        assertEquals("Ledger data", data.caption);
        assertEquals(1, data.fileCount);
        assertEquals(0, data.databaseCount);
        assertTrue(data.selectable);
        assertFalse(data.selectableForRestore);

        WMComponent journal = WriterMetaData.getComponent(h, 1);
        kept(journal.handle());
        journal.caption = "unchanged";
        journal.logicalPath = "unchanged too";
        journal.selectable = true;
        journal.restoreMetadata = true;
        journal.getInfo(journal.handle());
        assertEquals("unchanged", journal.caption);
        assertEquals("unchanged too", journal.logicalPath);
        assertEquals("Journal", journal.componentName);
        assertFalse(journal.selectable);
        assertFalse(journal.restoreMetadata);
        assertEquals(WMComponent.VSS_CT_DATABASE, journal.type);
        assertEquals(1, journal.databaseCount);
        assertEquals(1, journal.logfileCount);
        expectVss("Ivalid argument", () -> WriterMetaData.getComponent(h, 2));
        expectVss("Ivalid argument", () -> WMComponent.getFile(journal.handle(), 0));
    }

    @Test
    void pathsAreExpandedOnceAndPatternsKeptAsTheyAre() throws Exception {
        long h = writer(WRITER_ID);
        long data = kept(WriterMetaData.getComponent(h, 0).handle());
        long file = kept(WMComponent.getFile(data, 0).handle());
        assertEquals(1, callsDuring("WMFiledesc.GetPath", () -> {
            assertEquals("C:\\Windows\\Ledger", FileDescriptor.getPath(file));
            assertEquals("C:\\Windows\\Ledger", FileDescriptor.getPath(file));
        }));
        assertEquals(1, callsDuring("WMFiledesc.GetFilespec", () -> {
            assertEquals("*.dat", FileDescriptor.getSpec(file));
            assertEquals("*.dat", FileDescriptor.getSpec(file));
        }));
        assertTrue(FileDescriptor.getRecursive(file));
        withSetting("vss.fail.WMFiledesc.GetRecursive", "0x80004005", () -> assertFalse(FileDescriptor.getRecursive(file)));

        long journal = kept(WriterMetaData.getComponent(h, 1).handle());
        long database = kept(WMComponent.getDatabaseFile(journal, 0).handle());
        long log = kept(WMComponent.getDatabaseLogFile(journal, 0).handle());
        assertEquals("C:\\Ledger\\db", FileDescriptor.getPath(database));
        assertEquals("journal.db", FileDescriptor.getSpec(database));
        assertFalse(FileDescriptor.getRecursive(database));
        assertEquals("*.log", FileDescriptor.getSpec(log));
    }

    @Test
    void restoreMethodsWithAndWithoutTexts() throws Exception {
        VssRestoreInfo ledger = WriterMetaData.getRestoreInfo(writer(WRITER_ID));
        assertEquals(2, ledger.method);
        assertEquals("LedgerService", ledger.service);
        assertEquals("Stop the ledger", ledger.userProcedure);
        assertEquals(1, ledger.writerRestore);
        assertFalse(ledger.rebootRequired);
        assertEquals(0, ledger.mappings);
        VssRestoreInfo plain = WriterMetaData.getRestoreInfo(writer(PLAIN_WRITER_ID));
        assertEquals(1, plain.method);
        assertEquals("", plain.service);
        assertEquals("", plain.userProcedure);
    }

    @Test
    void savedDocumentsMakeNewMetadataObjects() throws Exception {
        long h = writer(WRITER_ID);
        String document = WriterMetaData.SaveAsXML(h);
        long created = kept(WriterMetaData.Create(document));
        assertNotEquals(0, created);
        WriterMetaData wrapped = new WriterMetaData(created);
        assertEquals(WRITER_NAME, WriterMetaData.getName(wrapped.handle()));
        assertArrayEquals(guid(INSTANCE_ID), WriterMetaData.GetInstanceId(created));
        assertEquals(document, WriterMetaData.SaveAsXML(created));

        // A load replaces the document, not the identity already read.
        String plain = WriterMetaData.SaveAsXML(writer(PLAIN_WRITER_ID));
        WriterMetaData.LoadFromXML(created, plain);
        assertEquals(WRITER_NAME, WriterMetaData.getName(created));
        assertEquals(0, WriterMetaData.getComponentCount(created));
        expectVss("Invalid or corrupted XML document", () -> WriterMetaData.LoadFromXML(created, "<Writer"));

        assertEquals(0, callsDuring("CreateVssExamineWriterMetadata", () -> expectNullPointer("",
                () -> WriterMetaData.Create(null))));
        expectVss("Invalid or corrupted XML document", () -> WriterMetaData.Create("not xml at all"));
        expectVss("Unknown VSS or COM error", () -> WriterMetaData.Create("<BackupComponents/>"));
    }

    @Test
    void handleZero() {
        assertDoesNotThrow(() -> assertNull(WriterMetaData.GetWriterId(0)));
        assertDoesNotThrow(() -> assertNull(WriterMetaData.GetInstanceId(0)));
        assertDoesNotThrow(() -> assertNull(WriterMetaData.getRestoreInfo(0)));
        expectNullPointer("meta data ptr", () -> WriterMetaData.getName(0));
        expectNullPointer("", () -> WriterMetaData.getUsageType(0));
        expectNullPointer("", () -> WriterMetaData.getSourceType(0));
        expectNullPointer("", () -> WriterMetaData.getComponentCount(0));
        expectNullPointer("", () -> WriterMetaData.getComponent(0, 0));
        expectNullPointer("", () -> WriterMetaData.SaveAsXML(0));
        expectNullPointer("", () -> WriterMetaData.LoadFromXML(0, "<WriterMetadata/>"));
        expectNullPointer("", () -> new WMComponent(0).getInfo(0));
        expectNullPointer("", () -> WMComponent.getFile(0, 0));
        expectNullPointer("", () -> WMComponent.getDatabaseFile(0, 0));
        expectNullPointer("", () -> WMComponent.getDatabaseLogFile(0, 0));
        expectNullPointer("", () -> FileDescriptor.getPath(0));
        expectNullPointer("", () -> FileDescriptor.getSpec(0));
        expectNullPointer("", () -> FileDescriptor.getRecursive(0));
    }

    @Test
    void failingCallsRaiseTheirMessageEvenWhereNothingElseGuardsThem() throws Exception {
        long h = writer(WRITER_ID);
        long fresh = writer(WRITER_ID);
        withSetting("vss.fail.ExamineWriterMetadata.GetIdentity", "0x80004005", () -> {
            expectVss("Internal COM failure", () -> WriterMetaData.getName(fresh));
            expectVss("Internal COM failure", () -> WriterMetaData.getUsageType(fresh));
            expectVss("Internal COM failure", () -> WriterMetaData.getSourceType(fresh));
            expectVss("Internal COM failure", () -> WriterMetaData.GetWriterId(fresh));
        });
        withSetting("vss.fail.ExamineWriterMetadata.GetFileCounts", "0x8000FFFF",
                () -> expectVss("Unexpected error", () -> WriterMetaData.getComponentCount(h)));
        withSetting("vss.fail.ExamineWriterMetadata.GetRestoreMethod", "0x00000001",
                () -> expectVss("Call returned \"False\"", () -> WriterMetaData.getRestoreInfo(h)));
        WMComponent data = WriterMetaData.getComponent(h, 0);
        kept(data.handle());
        withSetting("vss.fail.WMComponent.GetComponentInfo", "0x8007000E",
                () -> expectVss("Out of memory", () -> data.getInfo(data.handle())));
        data.getInfo(data.handle());
        long file = kept(WMComponent.getFile(data.handle(), 0).handle());
        withSetting("vss.fail.WMFiledesc.GetPath", "0x80070005", () -> expectVss("Access denied",
                () -> FileDescriptor.getPath(file)));
        withSetting("vss.fail.WMFiledesc.GetFilespec", "0x80004003",
                () -> expectVss("A required pointer parameter is NULL", () -> FileDescriptor.getSpec(file)));
        assertEquals("C:\\Windows\\Ledger", FileDescriptor.getPath(file));
        withSetting("vss.fail.WMComponent.GetFile", "0x80042308",
                () -> expectVss("VSS Object not found", () -> WMComponent.getFile(data.handle(), 0)));
    }
}
