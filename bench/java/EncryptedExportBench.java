import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;

/**
 * Throughput of the raw export of an encrypted file (OpenEncryptedFileRaw + ReadEncryptedFileRaw
 * to a callback that discards the data) against CreateFile + BackupRead of a plain file of the
 * same size, both into a 64 KiB Java array, in the same run. Rounds alternate; medians compared.
 * Usage: EncryptedExportBench [size in MiB] [rounds]; WINSIM_BIN names the machine tool's directory.
 */
public final class EncryptedExportBench {
    private static final int ARRAY = 64 * 1024;

    /** The export's callback: takes each block and keeps nothing. */
    public static final class Discard {
        long bytes;

        public int nextBlock(byte[] buffer, int count) {
            bytes += count;
            return 0;
        }
    }

    public static void main(String[] args) throws Exception {
        int sizeMiB = args.length > 0 ? Integer.parseInt(args[0]) : 256;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 7;
        BackupApi.init();
        Path dir = Paths.get(System.getenv("WINSIM_ROOT"), "drive_c", "bench");
        dir.toFile().mkdirs();
        long size = (long) sizeMiB << 20;
        for (String name : new String[] {"plain.bin", "secret.bin"}) {
            try (RandomAccessFile file = new RandomAccessFile(dir.resolve(name).toFile(), "rw")) {
                byte[] block = new byte[1 << 20];
                for (int i = 0; i < block.length; i++) {
                    block[i] = (byte) (i * 131);
                }
                file.setLength(0);
                for (long written = 0; written < size; written += block.length) {
                    file.write(block);
                }
            }
        }
        Process encrypt = new ProcessBuilder(System.getenv("WINSIM_BIN") + "/winsim", "efs", "encrypt",
                "C:\\bench\\secret.bin").inheritIO().start();
        if (encrypt.waitFor() != 0) {
            throw new IOException("winsim efs encrypt failed");
        }
        byte[] buffer = new byte[ARRAY];
        BackupReadBench.backupRead("C:\\bench\\plain.bin", buffer, size);
        rawExport("C:\\bench\\secret.bin", buffer, size);

        double[] plain = new double[rounds];
        double[] raw = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            plain[r] = BackupReadBench.throughput(size,
                    () -> BackupReadBench.backupRead("C:\\bench\\plain.bin", buffer, size));
            raw[r] = BackupReadBench.throughput(size, () -> rawExport("C:\\bench\\secret.bin", buffer, size));
        }
        Arrays.sort(plain);
        Arrays.sort(raw);
        double plainMedian = plain[rounds / 2];
        double rawMedian = raw[rounds / 2];
        System.out.printf("file size                      %d MiB, %d rounds, 64 KiB Java array%n", sizeMiB, rounds);
        System.out.printf("CreateFile + BackupRead        %8.0f MiB/s (median, plain file)%n", plainMedian);
        System.out.printf("raw export (ReadEncryptedFileRaw) %5.0f MiB/s (median, encrypted file)%n", rawMedian);
        System.out.printf("ratio raw export/BackupRead    %.2f  (target >= 0.80)%n", rawMedian / plainMedian);
    }

    static void rawExport(String path, byte[] buffer, long size) throws IOException {
        long context = BackupApi.OpenEncryptedFileRaw(path, 0);
        Discard discard = new Discard();
        int result = BackupApi.ReadEncryptedFileRaw(discard, context, buffer);
        BackupApi.CloseEncryptedFileRaw(context);
        if (result != 0 || discard.bytes < size) {
            throw new IOException("raw export ended with " + result + " after " + discard.bytes + " bytes");
        }
    }
}
