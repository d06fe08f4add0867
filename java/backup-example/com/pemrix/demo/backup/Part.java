package com.pemrix.demo.backup;

/**
 * One kind of thing that a backup takes from a machine and a restore puts back: files, encrypted
 * files, registry hives, what the machine is called, its proxy and dial-up connections. Each part
 * writes its own records into the manifest and its own entries into the archive, and reads only
 * those back; the runs call the parts in order and know nothing of what they hold.
 */
interface Part {
    /** How the job's log names the part. */
    String name();

    /** Takes what the part holds from the snapshot (or the machine) into the archive. */
    void backUp(BackupRun run) throws Exception;

    /** Puts what the archive holds for the part back onto the machine. */
    void restore(RestoreRun run) throws Exception;

    /** Compares the machine with the archive, one row of the verification table per item. */
    void verify(VerifyRun run) throws Exception;
}
