package com.pemrix.vss;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import com.pemrix.testsupport.MachineTool;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.UUID;
import org.junit.jupiter.api.function.Executable;

/** What the shadow copy tests share: identifiers, a declared writer, expected failures. */
final class VssTesting {
    static final String WRITER_ID = "{4f2e6a10-93c1-4b7e-8d25-0c6e1f3a9b47}";
    static final String INSTANCE_ID = "{a7d3c0e2-5b19-4f86-9e4a-2d8c71b05f63}";
    static final String WRITER_NAME = "Ledger Writer";

    private VssTesting() {}

    /** The in-memory layout of a GUID given in its text form. */
    static byte[] guid(String text) {
        UUID uuid = UUID.fromString(text.replaceAll("[{}]", ""));
        ByteBuffer big = ByteBuffer.allocate(16).putLong(uuid.getMostSignificantBits())
                .putLong(uuid.getLeastSignificantBits());
        byte[] b = big.array();
        ByteBuffer out = ByteBuffer.allocate(16).order(ByteOrder.LITTLE_ENDIAN);
        out.putInt(ByteBuffer.wrap(b, 0, 4).getInt());
        out.putShort(ByteBuffer.wrap(b, 4, 2).getShort());
        out.putShort(ByteBuffer.wrap(b, 6, 2).getShort());
        out.put(b, 8, 8);
        return out.array();
    }

    /** Declares the writer most tests use: one file-group component "Data" under "App". */
    static void declareLedgerWriter() {
        MachineTool.declareWriter("<WriterMetadata name=\"" + WRITER_NAME + "\" writerId=\"" + WRITER_ID
                + "\" instanceId=\"" + INSTANCE_ID + "\" usage=\"3\" source=\"2\">\n"
                + "  <RestoreMethod method=\"2\" service=\"LedgerService\" userProcedure=\"Stop the ledger\""
                + " writerRestore=\"1\" rebootRequired=\"no\"/>\n"
                + "  <Component name=\"Data\" logicalPath=\"App\" caption=\"Ledger data\" type=\"2\">\n"
                + "    <File path=\"%SystemRoot%\\Ledger\" filespec=\"*.dat\" recursive=\"yes\"/>\n"
                + "  </Component>\n"
                + "  <Component name=\"Journal\" type=\"1\" selectable=\"no\">\n"
                + "    <Database path=\"C:\\Ledger\\db\" filespec=\"journal.db\"/>\n"
                + "    <Log path=\"C:\\Ledger\\logs\" filespec=\"*.log\"/>\n"
                + "  </Component>\n"
                + "</WriterMetadata>\n");
    }

    static final String PLAIN_WRITER_ID = "{0b7e5a21-6d43-4c8f-a1e9-3f52c8d0e764}";

    /** A writer without a name, whose restore method names neither service nor procedure. */
    static void declarePlainWriter() {
        MachineTool.declareWriter("<WriterMetadata writerId=\"" + PLAIN_WRITER_ID + "\">\n"
                + "  <RestoreMethod method=\"1\"/>\n"
                + "</WriterMetadata>\n");
    }

    /** The service calls that a piece of work made for "Interface.Method". */
    static long callsDuring(String call, ThrowingRunnable work) throws Exception {
        long before = MachineTool.vssCalls(call);
        work.run();
        return MachineTool.vssCalls(call) - before;
    }

    interface ThrowingRunnable {
        void run() throws Exception;
    }

    /** Runs work with a machine setting in place, clearing it afterwards. */
    static void withSetting(String key, String value, ThrowingRunnable work) throws Exception {
        MachineTool.set(key, value);
        try {
            work.run();
        } finally {
            MachineTool.set(key, "");
        }
    }

    /** The native objects of every kind still alive in the service. */
    static long aliveObjects() {
        long alive = 0;
        for (String kind : new String[] {"BackupComponents", "ExamineWriterMetadata", "WMComponent", "WMFiledesc",
                "WriterComponents", "Component", "Async", "ComponentInfo", "SnapshotProperties"}) {
            alive += MachineTool.counter("vss.alive." + kind);
        }
        return alive;
    }

    static void expectVss(String message, Executable call) {
        assertEquals(message, assertThrows(VssException.class, call).getMessage());
    }

    static void expectNullPointer(String message, Executable call) {
        assertEquals(message, assertThrows(NullPointerException.class, call).getMessage());
    }

    /** A requester object, deleted by the first close(). */
    static final class Requester implements AutoCloseable {
        final long h;
        private boolean deleted;

        Requester() throws VssException {
            h = VSSFactory.getBackupComponents0().handle();
        }

        @Override
        public void close() {
            if (!deleted) {
                deleted = true;
                VSSFactory.delete_CUnknown(h);
            }
        }
    }

    /** Runs a backup up to the snapshot of C: and returns the snapshot's identifier. */
    static byte[] snapshotOfC(long h) throws VssException {
        BackupComponents.initializeForBackup(h);
        BackupComponents.setState(true, false, BackupComponents.VSS_BT_FULL, h);
        BackupComponents.gatherWriterMetadata(h);
        BackupComponents.AddComponent(h, guid(INSTANCE_ID), guid(WRITER_ID), BackupComponents.VSS_CT_FILEGROUP, "App",
                "Data");
        BackupComponents.startSnapshotSet(h);
        byte[] id = BackupComponents.addToSnapshotSet("C:\\", h);
        BackupComponents.prepareForBackup(h);
        BackupComponents.doSnapshotSet(h);
        return id;
    }
}
