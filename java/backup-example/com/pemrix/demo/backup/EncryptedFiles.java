package com.pemrix.demo.backup;

/**
 * Encrypted files and directories. Their data can be read only in its raw, still encrypted form;
 * until the client copies that form, an encrypted entry is recorded as skipped, never stored as
 * ciphertext it could not restore.
 */
class EncryptedFiles {
    void backUp(BackupRun run, String path, boolean directory, int attributes) {
        run.skipped(path, (directory ? "an encrypted directory" : "an encrypted file")
                + ", which this client does not copy yet");
    }
}
