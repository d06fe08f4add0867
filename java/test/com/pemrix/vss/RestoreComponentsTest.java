package com.pemrix.vss;

import static com.pemrix.vss.BackupComponents.*;
import static com.pemrix.vss.VssTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The restore natives on a document that records both of the ledger writer's components. */
class RestoreComponentsTest {
    private static String document;
    private Requester requester;
    private long h;
    private long components;
    private long data;
    private long journal;

    @BeforeAll
    static void backUp() throws Exception {
        VSSFactory.init();
        MachineTool.declareWriter("<WriterMetadata name=\"" + WRITER_NAME + "\" writerId=\"" + WRITER_ID
                + "\" instanceId=\"" + INSTANCE_ID + "\">\n"
                + "  <Component name=\"Data\" logicalPath=\"App\"><File path=\"C:\\Ledger\" filespec=\"*\"/></Component>\n"
                + "  <Component name=\"Journal\" type=\"1\" preRestoreFailure=\"The journal is in use\"/>\n"
                + "</WriterMetadata>\n");
        try (Requester backup = new Requester()) {
            initializeForBackup(backup.h);
            setState(true, false, VSS_BT_FULL, backup.h);
            gatherWriterMetadata(backup.h);
            AddComponent(backup.h, guid(INSTANCE_ID), guid(WRITER_ID), VSS_CT_FILEGROUP, "App", "Data");
            AddComponent(backup.h, guid(INSTANCE_ID), guid(WRITER_ID), VSS_CT_DATABASE, null, "Journal");
            document = SaveAsXml(backup.h);
        }
    }

    @BeforeEach
    void load() throws Exception {
        requester = new Requester();
        h = requester.h;
        LoadFromXML(h, document);
        gatherWriterMetadata(h);
        components = GetWriterComponents(h, 0).handle();
        data = WriterComponents.GetComponent(components, 0).handle();
        journal = WriterComponents.GetComponent(components, 1).handle();
    }

    @AfterEach
    void delete() {
        VSSFactory.delete_CUnknown(journal);
        VSSFactory.delete_CUnknown(data);
        VSSFactory.delete_CUnknown(components);
        requester.close();
        assertEquals(0, aliveObjects());
    }

    @Test
    void textsAreKeptOnceReadAndAbsentOnesAskedForAgain() throws Exception {
        assertEquals(1, callsDuring("Component.GetComponentName", () -> {
            assertEquals("Data", Component.GetComponentName(data));
            assertEquals("Data", Component.GetComponentName(data));
        }));
        assertEquals(2, callsDuring("Component.GetLogicalPath", () -> {
            assertNull(Component.GetLogicalPath(journal));
            assertNull(Component.GetLogicalPath(journal));
        }));
        withSetting("vss.fail.Component.GetComponentName", "0x1",
                () -> expectVss("Call returned \"False\"", () -> Component.GetComponentName(journal)));
        assertEquals("Journal", Component.GetComponentName(journal));

        SetSelectedForRestore(h, guid(WRITER_ID), VSS_CT_DATABASE, null, "Journal", true);
        assertNull(Component.GetPreRestoreFailureMsg(journal));
        PreRestore(h);
        assertEquals(1, callsDuring("Component.GetPreRestoreFailureMsg", () -> {
            assertEquals("The journal is in use", Component.GetPreRestoreFailureMsg(journal));
            assertEquals("The journal is in use", Component.GetPreRestoreFailureMsg(journal));
        }));
        assertNull(Component.GetPreRestoreFailureMsg(data));
    }

    @Test
    void newTargetsFitIn260Units() throws Exception {
        byte[] writer = guid(WRITER_ID);
        String path259 = "C:\\" + "p".repeat(256);
        String path260 = path259 + "q";
        assertEquals(1, callsDuring("BackupComponents.AddNewTarget",
                () -> AddNewTarget(h, writer, VSS_CT_FILEGROUP, "App", "Data", path259, "*.dat", true, "D:\\Ledger")));
        assertEquals(0, callsDuring("BackupComponents.AddNewTarget", () -> {
            Exception tooLong = assertThrows(Exception.class,
                    () -> AddNewTarget(h, writer, VSS_CT_FILEGROUP, "App", "Data", path260, "*", false, "D:\\"));
            assertEquals(Exception.class, tooLong.getClass());
            assertEquals("not enough space in C string", tooLong.getMessage());
            assertThrows(Exception.class,
                    () -> AddNewTarget(h, writer, VSS_CT_FILEGROUP, "App", "Data", "C:\\", "f".repeat(260), false, ""));
            expectNullPointer("", () -> AddNewTarget(h, writer, VSS_CT_FILEGROUP, "App", "Data", "C:\\", "*", false,
                    null));
            expectNullPointer("", () -> AddNewTarget(0, writer, VSS_CT_FILEGROUP, "App", "Data", "C:\\", "*", false,
                    "D:\\"));
        }));
        AddNewTarget(h, writer, VSS_CT_DATABASE, null, "Journal", "", "", false, "");
        assertEquals(1, Component.GetNewTargetCnt(data));
        assertEquals(1, Component.GetNewTargetCnt(journal));
        assertEquals(Component.VSS_RT_ALTERNATE, Component.GetRestoreTarget(data));
        assertTrue(SaveAsXml(h).contains("path=\"" + path259 + "\""));
        expectVss("VSS Object not found",
                () -> AddNewTarget(h, writer, VSS_CT_FILEGROUP, "App", "Other", "C:\\", "*", false, "D:\\"));
    }

    @Test
    void selectionAndOutcomesNameTheirComponent() throws Exception {
        byte[] writer = guid(WRITER_ID);
        long calls = MachineTool.vssCalls("BackupComponents.SetSelectedForRestore");
        SetSelectedForRestore(h, writer, VSS_CT_FILEGROUP, "App", null, true);
        SetSelectedForRestore(h, null, VSS_CT_FILEGROUP, "App", "Data", true);
        SetSelectedForRestore(0, writer, VSS_CT_FILEGROUP, "App", "Data", true);
        SetFileRestoreStatus(h, writer, VSS_CT_FILEGROUP, "App", null, VSS_RS_ALL);
        SetFileRestoreStatus(0, writer, VSS_CT_FILEGROUP, "App", "Data", VSS_RS_ALL);
        assertEquals(calls, MachineTool.vssCalls("BackupComponents.SetSelectedForRestore"));
        assertFalse(Component.IsSelectedForRestore(journal));
        SetSelectedForRestore(h, writer, VSS_CT_DATABASE, null, "Journal", true);
        assertTrue(Component.IsSelectedForRestore(journal));
        expectVss("VSS Object not found",
                () -> SetSelectedForRestore(h, writer, VSS_CT_FILEGROUP, null, "Data", true));
        PreRestore(h);
        SetFileRestoreStatus(h, writer, VSS_CT_DATABASE, null, "Journal", VSS_RS_FAILED);
        PostRestore(h);
        assertTrue(SaveAsXml(h).contains("fileRestoreStatus=\"3\""));
        assertEquals(0, Component.GetRestoreSubcomponentCnt(data));
        assertEquals(0, Component.GetPartialFileCnt(data));
        assertEquals(0, Component.GetDirectedTargetCnt(data));
        assertEquals(0, Component.GetDifferencedFilesCnt(data));
        assertEquals(0, Component.GetAlternateLocationMappingCnt(data));
        withSetting("vss.fail.Component.GetNewTargetCount", "0x80042302",
                () -> expectVss("Unknown VSS or COM error", () -> Component.GetNewTargetCnt(data)));
    }

    @Test
    void theHandleZeroAnswersAsEachNativeDoes() throws Exception {
        GatherWriterStatusN(0);
        PreRestore(0);
        PostRestore(0);
        assertEquals(0, GetWriterComponentsCount(0));
        assertNull(GetWriterComponents(0, 0));
        assertNull(WriterComponents.GetWriterId(0));
        assertFalse(Component.IsSelectedForRestore(0));
        expectNullPointer("", () -> GetWriterStatusCnt(0));
        expectNullPointer("", () -> GetWriterStatus(0, 0));
        expectNullPointer("", () -> WriterComponents.GetComponentCount(0));
        expectNullPointer("", () -> WriterComponents.GetComponent(0, 0));
        expectNullPointer("", () -> Component.GetComponentName(0));
        expectNullPointer("", () -> Component.GetComponentType(0));
        expectNullPointer("", () -> Component.GetLogicalPath(0));
        expectNullPointer("", () -> Component.GetRestoreTarget(0));
        expectNullPointer("", () -> Component.GetPreRestoreFailureMsg(0));
        expectNullPointer("", () -> Component.GetRestoreSubcomponentCnt(0));
        expectNullPointer("", () -> Component.GetNewTargetCnt(0));
        expectNullPointer("", () -> Component.GetPartialFileCnt(0));
        expectNullPointer("", () -> Component.GetDirectedTargetCnt(0));
        expectNullPointer("", () -> Component.GetDifferencedFilesCnt(0));
        expectNullPointer("", () -> Component.GetAlternateLocationMappingCnt(0));
    }
}
