package com.pemrix.vaultcore.os.win32;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.RawTransfer;
import java.io.IOException;
import java.nio.file.Files;
import org.junit.jupiter.api.Test;

/** A system whose advapi32.dll cannot give the raw functions: every native says so. */
class EncryptedRawUnavailableTest {
    @Test
    void everyRawNativeRaisesNotAvailable() throws Exception {
        Files.delete(Machine.host("C:\\Windows\\System32\\advapi32.dll"));
        BackupApi.init();
        String message = "Encrypted file backup not available on this OS";
        IOException open = assertThrows(IOException.class, () -> BackupApi.OpenEncryptedFileRaw("C:\\x", 0));
        assertEquals(message, open.getMessage());
        RawTransfer.Collector collector = new RawTransfer.Collector();
        assertEquals(message, assertThrows(IOException.class,
                () -> BackupApi.ReadEncryptedFileRaw(collector, 1, new byte[8])).getMessage());
        assertEquals(message, assertThrows(IOException.class,
                () -> BackupApi.WriteEncryptedFileRaw(collector, 1, new byte[8])).getMessage());
        assertEquals(message, assertThrows(IOException.class, () -> BackupApi.CloseEncryptedFileRaw(1)).getMessage());
        assertTrue(collector.counts.isEmpty());
    }
}
