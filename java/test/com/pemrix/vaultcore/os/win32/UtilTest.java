package com.pemrix.vaultcore.os.win32;

import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import com.pemrix.testsupport.MachineTool;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.util.HexFormat;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The computer's names, the product type and the COM+ catalogue restore. */
class UtilTest {
    private static final String TCPIP = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
    private static final String ACTIVE_NAME = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";
    private static final String PRODUCT_OPTIONS = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\ProductOptions";

    @BeforeAll
    static void init() {
        Util.init();
    }

    @AfterEach
    void restoreMachine() throws Exception {
        MachineTool.set("administrator", "yes");
        MachineTool.set("fail.RegDBRestore", "");
        Path link = catsrvut();
        Files.deleteIfExists(link);
        Files.createSymbolicLink(link, Path.of(System.getenv("WINSIM_BIN"), "libcatsrvut.so"));
    }

    private static Path catsrvut() {
        return Machine.host("C:\\Windows\\System32\\catsrvut.dll");
    }

    @Test
    void everyComputerNameFormatComesFromTheRegistry() throws Exception {
        MachineTool.run("reg", "set", ACTIVE_NAME, "ComputerName", "REG_SZ", "LEDGER01");
        MachineTool.run("reg", "set", TCPIP, "Hostname", "REG_SZ", "ledger01");
        MachineTool.run("reg", "set", TCPIP, "Domain", "REG_SZ", "corp.example");
        String[] expected = {"LEDGER01", "ledger01", "corp.example", "ledger01.corp.example"};
        for (int format = 0; format < 8; format++) {
            assertEquals(expected[format % 4], Util.GetComputerNameEx(format), "format " + format);
        }

        // A workgroup computer has an empty domain and its host name as its full name.
        MachineTool.run("reg", "set", TCPIP, "Domain", "REG_SZ", "");
        assertEquals("", Util.GetComputerNameEx(Util.COMPUTER_NAME_DNS_DOMAIN));
        assertEquals("ledger01", Util.GetComputerNameEx(Util.COMPUTER_NAME_DNS_FULLY_QUALIFIED));

        // Non-ASCII names survive the trip through the registry and UTF-16.
        MachineTool.run("reg", "set", TCPIP, "Hostname", "REG_SZ", "r\u00e9seau-\u4e2d");
        assertEquals("r\u00e9seau-\u4e2d", Util.GetComputerNameEx(Util.COMPUTER_NAME_DNS_HOSTNAME));
    }

    @Test
    void aFormatWindowsDoesNotKnowRaisesTheSystemText() {
        Exception bad = assertThrows(Exception.class, () -> Util.GetComputerNameEx(8));
        assertEquals("The parameter is incorrect.", bad.getMessage());
        assertThrows(Exception.class, () -> Util.GetComputerNameEx(-1));
    }

    @Test
    void productTypeFollowsProductOptions() {
        assertEquals(Util.VER_NT_WORKSTATION, Util.GetProductType());
        MachineTool.run("reg", "set", PRODUCT_OPTIONS, "ProductType", "REG_SZ", "ServerNT");
        assertEquals(Util.VER_NT_SERVER, Util.GetProductType());
        MachineTool.run("reg", "set", PRODUCT_OPTIONS, "ProductType", "REG_SZ", "LanmanNT");
        assertEquals(Util.VER_NT_DOMAIN_CONTROLLER, Util.GetProductType());
        MachineTool.run("reg", "set", PRODUCT_OPTIONS, "ProductType", "REG_SZ", "WinNT");
        assertEquals(Util.VER_NT_WORKSTATION, Util.GetProductType());
    }

    /** A catalogue backup file in the format of the machine's catsrvut.dll. */
    private static byte[] backupOf(String catalogue) throws Exception {
        byte[] body = catalogue.getBytes(StandardCharsets.UTF_8);
        String digest = HexFormat.of().formatHex(MessageDigest.getInstance("SHA-256").digest(body));
        return ("WINSIM COM+ CATALOGUE BACKUP 1\nsize " + body.length + "\n" + catalogue + "sha256 " + digest + "\n")
                .getBytes(StandardCharsets.UTF_8);
    }

    private static String writeBackup(byte[] content) throws Exception {
        String path = Machine.freshDirectory("catalogue") + "\\complus.bak";
        Files.write(Machine.host(path), content);
        return path;
    }

    @Test
    void restoreReplacesTheCatalogueAndRefusesWhatIsNotABackup() throws Exception {
        Path catalogue = Machine.host("C:\\Windows\\Registration\\R000000000001.clb");
        String restored = "WINSIM COM+ CATALOGUE 1\napplication {8a1f9c2e-44b0-4a7d-9d1e-2c5b7e0f3a61} Ledger\n";
        Util.RegDBRestoreN(writeBackup(backupOf(restored)));
        assertEquals(restored, Files.readString(catalogue));

        String dir = Machine.freshDirectory("nocatalogue");
        Exception missing = assertThrows(Exception.class, () -> Util.RegDBRestoreN(dir + "\\none.bak"));
        assertEquals("The system cannot find the file specified.", missing.getMessage());

        byte[] damaged = backupOf("WINSIM COM+ CATALOGUE 1\napplication {x} Other\n");
        damaged[damaged.length - 80] ^= 1;
        for (byte[] bad : new byte[][] {"not a backup".getBytes(StandardCharsets.UTF_8), damaged}) {
            Exception refused = assertThrows(Exception.class, () -> Util.RegDBRestoreN(writeBackup(bad)));
            assertEquals("The data is invalid.", refused.getMessage());
        }
        assertEquals(restored, Files.readString(catalogue), "a refused file changes nothing");

        MachineTool.set("administrator", "no");
        Exception denied = assertThrows(Exception.class, () -> Util.RegDBRestoreN(writeBackup(backupOf(restored))));
        assertEquals("Access is denied.", denied.getMessage());

        assertThrows(NullPointerException.class, () -> Util.RegDBRestoreN(null));
    }

    @Test
    void aFailureThatLeavesNoLastErrorRaisesTheReturnedCodesText() throws Exception {
        // 0x80070020: the HRESULT of a sharing violation, returned with the last error left at 0.
        MachineTool.set("fail.RegDBRestore", "0x80070020");
        Exception failed = assertThrows(Exception.class, () -> Util.RegDBRestoreN("C:\\any.bak"));
        assertEquals("The process cannot access the file because it is being used by another process.",
                failed.getMessage());
    }

    @Test
    void withoutTheCatalogueUtilitiesNothingIsRaised() throws Exception {
        Files.delete(catsrvut());
        Util.RegDBRestoreN("C:\\any.bak");
    }

    @Test
    void aLibraryWithoutRegDBRestoreRaisesTheLookupFailure() throws Exception {
        Files.delete(catsrvut());
        Files.createSymbolicLink(catsrvut(), Path.of(System.getenv("WINSIM_BIN"), "libvssapi.so"));
        Exception missing = assertThrows(Exception.class, () -> Util.RegDBRestoreN("C:\\any.bak"));
        assertEquals("The specified procedure could not be found.", missing.getMessage());
    }
}
