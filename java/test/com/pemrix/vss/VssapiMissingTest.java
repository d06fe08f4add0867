package com.pemrix.vss;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import java.nio.file.Files;
import org.junit.jupiter.api.Test;

/** A machine without the shadow copy service's library. */
class VssapiMissingTest {
    @Test
    void initRaisesUnsatisfiedLinkError() throws Exception {
        Files.delete(Machine.host("C:\\Windows\\System32\\vssapi.dll"));
        UnsatisfiedLinkError raised = assertThrows(UnsatisfiedLinkError.class, VSSFactory::init);
        assertEquals("vssapi not available", raised.getMessage());
    }
}
