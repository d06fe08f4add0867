package com.pemrix.vss;

import static com.pemrix.vss.VssTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** Native objects deleted in any order, children after their parents, crash nothing and leak nothing. */
class DeletionOrderTest {
    @BeforeAll
    static void init() {
        VSSFactory.init();
        declareLedgerWriter();
    }

    /** A requester and every kind of object it hands out, parents first. */
    private static List<Long> family() throws Exception {
        List<Long> handles = new ArrayList<>();
        long h = VSSFactory.getBackupComponents0().handle();
        handles.add(h);
        BackupComponents.initializeForBackup(h);
        BackupComponents.setState(true, false, BackupComponents.VSS_BT_FULL, h);
        BackupComponents.gatherWriterMetadata(h);
        BackupComponents.AddComponent(h, guid(INSTANCE_ID), guid(WRITER_ID), BackupComponents.VSS_CT_FILEGROUP, "App",
                "Data");
        BackupComponents.GatherWriterStatusN(h);
        long metadata = BackupComponents.getWriterMetadata(h, 0).handle();
        handles.add(metadata);
        WMComponent component = WriterMetaData.getComponent(metadata, 0);
        component.getInfo(component.handle());
        handles.add(component.handle());
        long file = WMComponent.getFile(component.handle(), 0).handle();
        assertEquals("*.dat", FileDescriptor.getSpec(file));
        handles.add(file);
        long writerComponents = BackupComponents.GetWriterComponents(h, 0).handle();
        handles.add(writerComponents);
        long recorded = WriterComponents.GetComponent(writerComponents, 0).handle();
        assertEquals("Data", Component.GetComponentName(recorded));
        handles.add(recorded);
        return handles;
    }

    @Test
    void everyOrderOfDeletion() throws Exception {
        List<Long> parentsFirst = family();
        // Children stay usable after their parents are gone, while the thread stays in COM (here
        // through a second requester): the service is reached through COM.
        long keeper = VSSFactory.getBackupComponents0().handle();
        VSSFactory.delete_CUnknown(parentsFirst.get(0));
        VSSFactory.delete_CUnknown(parentsFirst.get(1));
        assertEquals("C:\\Windows\\Ledger", FileDescriptor.getPath(parentsFirst.get(3)));
        assertEquals("App", Component.GetLogicalPath(parentsFirst.get(5)));
        VSSFactory.delete_CUnknown(keeper);
        // Once the thread has left COM, the service is out of reach; deletion still works.
        expectVss("Unknown VSS or COM error", () -> WriterComponents.GetComponentCount(parentsFirst.get(4)));
        for (long handle : parentsFirst.subList(2, parentsFirst.size())) {
            VSSFactory.delete_CUnknown(handle);
        }
        assertEquals(0, aliveObjects());

        List<Long> childrenFirst = family();
        Collections.reverse(childrenFirst);
        childrenFirst.forEach(VSSFactory::delete_CUnknown);
        assertEquals(0, aliveObjects());

        for (long seed = 1; seed <= 5; seed++) {
            List<Long> shuffled = family();
            Collections.shuffle(shuffled, new java.util.Random(seed));
            shuffled.forEach(VSSFactory::delete_CUnknown);
            assertEquals(0, aliveObjects());
        }
        assertEquals(0, MachineTool.counter("oleaut32.bstr.alive"));
        assertEquals(0, MachineTool.counter("com.initialised"));
    }
}
