package com.pemrix.vss;

/**
 * A requester process for the tests: takes a snapshot of C:, prints "holding" and the snapshot's
 * device, and then waits until it is killed, without ever releasing the snapshot.
 */
public final class SnapshotHolder {
    private SnapshotHolder() {}

    public static void main(String[] args) throws Exception {
        VSSFactory.init();
        long h = VSSFactory.getBackupComponents0().handle();
        BackupComponents.initializeForBackup(h);
        BackupComponents.setState(false, false, BackupComponents.VSS_BT_FULL, h);
        BackupComponents.gatherWriterMetadata(h);
        BackupComponents.startSnapshotSet(h);
        byte[] id = BackupComponents.addToSnapshotSet("C:\\", h);
        BackupComponents.prepareForBackup(h);
        BackupComponents.doSnapshotSet(h);
        System.out.println("holding " + BackupComponents.getSnapshotDevice(id, h));
        System.out.flush();
        Thread.sleep(Long.MAX_VALUE);
    }
}
