package com.pemrix.demo.backup;

import com.pemrix.vss.BackupComponents;
import com.pemrix.vss.VSSFactory;
import com.pemrix.vss.VssException;
import com.pemrix.vss.WriterMetaData;
import com.pemrix.vss.WriterStatus;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;

/**
 * A shadow copy of one volume for one backup, taken through the shadow copy service as a
 * requester: the writers are asked for their metadata (kept with the backup) and every component
 * they declare is added, the volume's snapshot is made, and the backup reads the snapshot's device.
 * {@link #complete} reports each component's outcome and ends the backup, giving the backup
 * document; {@link #close} aborts a backup that did not complete and releases the requester, which
 * deletes the snapshot. Every call happens on the thread that made the object, which is the
 * thread on which COM was initialised for it.
 */
final class ShadowCopy implements AutoCloseable {
    private final long handle;
    private final List<WriterInfo> writers = new ArrayList<>();
    private String device;
    private boolean completed;
    private boolean closed;

    private ShadowCopy(long handle) {
        this.handle = handle;
    }

    /** Takes the snapshot of volume (such as C:\); raises when the service or a writer fails. */
    static ShadowCopy take(String volume, JobLog log, JobControl control) throws VssException, JobFailure {
        BackupComponents requester = VSSFactory.getBackupComponents0();
        if (requester == null) {
            throw new VssException("the shadow copy service gave no requester");
        }
        ShadowCopy copy = new ShadowCopy(requester.handle());
        try {
            copy.snapshot(volume, log, control);
            return copy;
        } catch (VssException | JobFailure | RuntimeException e) {
            copy.close();
            throw e;
        }
    }

    private void snapshot(String volume, JobLog log, JobControl control) throws VssException, JobFailure {
        BackupComponents.initializeForBackup(handle);
        BackupComponents.setState(true, false, BackupComponents.VSS_BT_FULL, handle);
        BackupComponents.gatherWriterMetadata(handle);
        int count = BackupComponents.getWriterMetadataCount(handle);
        for (int i = 0; i < count; i++) {
            WriterMetaData metadata = BackupComponents.getWriterMetadata(handle, i);
            try {
                writers.add(WriterInfo.read(metadata.handle()));
            } finally {
                VSSFactory.delete_CUnknown(metadata.handle());
            }
        }
        for (WriterInfo writer : writers) {
            for (WriterInfo.ComponentInfo component : writer.components) {
                BackupComponents.AddComponent(handle, writer.instanceId, writer.writerId, component.type,
                        component.logicalPath, component.name);
            }
            log.line("writer " + writer.name + ": " + writer.components.size() + " components");
        }
        control.checkpoint();
        BackupComponents.startSnapshotSet(handle);
        byte[] snapshot = BackupComponents.addToSnapshotSet(volume, handle);
        BackupComponents.prepareForBackup(handle);
        checkWriters("preparing the backup");
        control.checkpoint();
        BackupComponents.doSnapshotSet(handle);
        checkWriters("taking the snapshot");
        device = BackupComponents.getSnapshotDevice(snapshot, handle);
        if (device == null) {
            throw new JobFailure("the shadow copy service named no snapshot device");
        }
    }

    /** Raises when a writer reports a failure, naming it and its state. */
    private void checkWriters(String step) throws VssException, JobFailure {
        BackupComponents.GatherWriterStatusN(handle);
        int count = BackupComponents.GetWriterStatusCnt(handle);
        for (int i = 0; i < count; i++) {
            WriterStatus status = BackupComponents.GetWriterStatus(handle, i);
            if (status == null) {
                throw new JobFailure("the shadow copy service gave no status for writer " + i);
            }
            if (failed(status)) {
                throw new JobFailure("writer " + status.name + " failed while " + step + " (state "
                        + stateName(status.state) + ", failure " + status.failureCode + ")");
            }
        }
    }

    static boolean failed(WriterStatus status) {
        return status.failureCode != WriterStatus.NO_FAILURE || (status.state >= 6 && status.state <= 15);
    }

    static String stateName(int state) {
        String[] names = {"unknown", "stable", "waiting for freeze", "waiting for thaw", "waiting for post-snapshot",
            "waiting for backup complete", "failed at identify", "failed at prepare backup",
            "failed at prepare snapshot", "failed at freeze", "failed at thaw", "failed at post-snapshot",
            "failed at backup complete", "failed at pre-restore", "failed at post-restore",
            "failed at backup shutdown"};
        return state >= 0 && state < names.length ? names[state] : Integer.toString(state);
    }

    /** The snapshot's device, under which the volume's files are read as they were. */
    String device() {
        return device;
    }

    List<WriterInfo> writers() {
        return Collections.unmodifiableList(writers);
    }

    /** The snapshot path of a path of the volume; the volume's root keeps its backslash. */
    String snapshotPath(String volume, String livePath) {
        String base = device.endsWith("\\") ? device : device + "\\";
        return base + WindowsPaths.relative(livePath, volume);
    }

    /**
     * Tells the writers which components were backed up, ends the backup and returns the backup
     * document, which a restore hands back to the service.
     */
    String complete(Map<WriterInfo.ComponentInfo, Boolean> succeeded) throws VssException, JobFailure {
        for (WriterInfo writer : writers) {
            for (WriterInfo.ComponentInfo component : writer.components) {
                BackupComponents.SetBackupSucceeded(handle, writer.instanceId, writer.writerId, component.type,
                        component.logicalPath, component.name, succeeded.getOrDefault(component, Boolean.TRUE));
            }
        }
        BackupComponents.backupComplete(handle);
        completed = true;
        checkWriters("completing the backup");
        String document = BackupComponents.SaveAsXml(handle);
        if (document == null) {
            throw new JobFailure("the shadow copy service gave no backup document");
        }
        return document;
    }

    /** Aborts a backup that did not complete; releasing the requester deletes the snapshot. */
    @Override
    public void close() {
        if (closed) {
            return;
        }
        closed = true;
        try {
            if (!completed) {
                BackupComponents.abortBackup(handle);
            }
        } catch (VssException ignored) {
            // The backup may not have got far enough to abort; the release below ends it anyway.
        } finally {
            VSSFactory.delete_CUnknown(handle);
        }
    }
}
