package com.pemrix.vaultcore.os.win32;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import java.io.IOException;
import org.junit.jupiter.api.Test;

/** The stream classes used in a JVM where nothing has called BackupApi.init. */
class StreamClassesTest {
    @Test
    void aMissingFileIsAnIOExceptionEvenAsTheFirstUse() {
        String missing = Machine.freshDirectory("first-use") + "\\missing.txt";
        IOException failure = assertThrows(IOException.class, () -> new BackupInputStream(missing, false));
        assertEquals("The system cannot find the file specified.", failure.getMessage());
    }
}
