import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;

/**
 * Throughput of reading a page-cached file through CreateFile + BackupRead (no security) into a
 * 1 MiB Java array, against FileInputStream.read(byte[]) with the same array, in the same run.
 * Rounds alternate between the two; the medians are compared.
 * Usage: BackupReadBench [size in MiB] [rounds]
 */
public final class BackupReadBench {
    private static final int BUFFER = 1 << 20;

    public static void main(String[] args) throws Exception {
        int sizeMiB = args.length > 0 ? Integer.parseInt(args[0]) : 1024;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 7;
        BackupApi.init();
        String windowsPath = "C:\\bench\\data.bin";
        Path host = Paths.get(System.getenv("WINSIM_ROOT"), "drive_c", "bench", "data.bin");
        host.getParent().toFile().mkdirs();
        long size = (long) sizeMiB << 20;
        try (RandomAccessFile file = new RandomAccessFile(host.toFile(), "rw")) {
            byte[] block = new byte[BUFFER];
            for (int i = 0; i < block.length; i++) {
                block[i] = (byte) (i * 131);
            }
            file.setLength(0);
            for (long written = 0; written < size; written += BUFFER) {
                file.write(block);
            }
        }
        byte[] buffer = new byte[BUFFER];
        // Warm the page cache and both code paths.
        plainRead(host, buffer);
        backupRead(windowsPath, buffer, size);

        double[] plain = new double[rounds];
        double[] backup = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            plain[r] = throughput(size, () -> plainRead(host, buffer));
            backup[r] = throughput(size, () -> backupRead(windowsPath, buffer, size));
        }
        Arrays.sort(plain);
        Arrays.sort(backup);
        double plainMedian = plain[rounds / 2];
        double backupMedian = backup[rounds / 2];
        System.out.printf("file size                  %d MiB, %d rounds, 1 MiB Java array%n", sizeMiB, rounds);
        System.out.printf("FileInputStream.read       %8.0f MiB/s (median)%n", plainMedian);
        System.out.printf("CreateFile + BackupRead    %8.0f MiB/s (median)%n", backupMedian);
        System.out.printf("ratio BackupRead/FileInputStream  %.2f  (target >= 0.90)%n", backupMedian / plainMedian);
    }

    interface Run {
        void run() throws IOException;
    }

    static double throughput(long size, Run run) throws IOException {
        long start = System.nanoTime();
        run.run();
        long elapsed = System.nanoTime() - start;
        return (size / (double) (1 << 20)) / (elapsed / 1e9);
    }

    static void plainRead(Path host, byte[] buffer) throws IOException {
        try (FileInputStream in = new FileInputStream(host.toFile())) {
            while (in.read(buffer) > 0) {
                // the data itself is not looked at by either path
            }
        }
    }

    static void backupRead(String path, byte[] buffer, long size) throws IOException {
        long handle = BackupApi.CreateFile(path, BackupApi.GENERIC_READ, BackupApi.FILE_SHARE_READ, 0,
                BackupApi.OPEN_EXISTING, BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        long total = 0;
        int n;
        while ((n = BackupApi.BackupRead(context, handle, buffer, 0, buffer.length, false, false)) > 0) {
            total += n;
        }
        BackupApi.BackupRead(context, handle, buffer, 0, 0, true, false);
        if (total != size + 20) {
            throw new IOException("backup stream of " + total + " bytes for a file of " + size);
        }
    }
}
