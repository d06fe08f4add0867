import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.FileInputStream;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;

/**
 * The cost of a small file: 20,000 files of 4 KiB read whole, one by one, through CreateFile +
 * BackupRead (with and without security) into a Java array, against FileInputStream open, read
 * and close of the same files, in the same run. Rounds alternate between the ways; the medians
 * of the time per file are compared, in wall time and in the thread's processor time.
 * Usage: SmallFilesBench [files] [rounds]
 */
public final class SmallFilesBench {
    private static final int FILE_SIZE = 4096;

    public static void main(String[] args) throws Exception {
        int files = args.length > 0 ? Integer.parseInt(args[0]) : 20_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 5;
        BackupApi.init();
        Path root = Paths.get(System.getenv("WINSIM_ROOT"), "drive_c", "bench", "small");
        String windowsRoot = "C:\\bench\\small";
        byte[] contents = new byte[FILE_SIZE];
        for (int i = 0; i < contents.length; i++) {
            contents[i] = (byte) (i * 31);
        }
        String[] names = new String[files];
        for (int i = 0; i < files; i++) {
            // 100 files to a directory, as a tree of small files is laid out.
            names[i] = String.format("d%03d\\file%05d.dat", i / 100, i);
            Path host = root.resolve(names[i].replace('\\', '/'));
            if (!Files.exists(host)) {
                Files.createDirectories(host.getParent());
                Files.write(host, contents);
            }
        }
        byte[] buffer = new byte[64 * 1024];
        int[] context = new int[2];
        // Warm the page cache and every code path.
        plain(root, names, buffer);
        backup(windowsRoot, names, buffer, context, false);
        backup(windowsRoot, names, buffer, context, true);

        // Wall time and the thread's processor time (user and system): on a machine shared with
        // other work, the second is the steadier measure of what a file costs.
        ThreadMXBean threads = ManagementFactory.getThreadMXBean();
        String[] ways = {"FileInputStream open, read, close", "CreateFile + BackupRead",
            "CreateFile + BackupRead with security"};
        double[][] wall = new double[3][rounds];
        double[][] cpu = new double[3][rounds];
        for (int r = 0; r < rounds; r++) {
            for (int k = 0; k < 3; k++) {
                // The order turns each round, so no way always follows the same one.
                int way = (k + r) % 3;
                long startWall = System.nanoTime();
                long startCpu = threads.getCurrentThreadCpuTime();
                if (way == 0) {
                    plain(root, names, buffer);
                } else {
                    backup(windowsRoot, names, buffer, context, way == 2);
                }
                cpu[way][r] = (threads.getCurrentThreadCpuTime() - startCpu) / 1e3 / files;
                wall[way][r] = (System.nanoTime() - startWall) / 1e3 / files;
            }
        }
        System.out.printf("%d files of %d bytes, %d rounds (medians per file)%n", files, FILE_SIZE, rounds);
        System.out.printf("%-40s %9s %9s %12s%n", "", "wall", "processor", "ratio (p.)");
        double base = median(cpu[0]);
        for (int way = 0; way < 3; way++) {
            System.out.printf("%-40s %6.1f us %6.1f us %12.2f%n", ways[way], median(wall[way]), median(cpu[way]),
                    median(cpu[way]) / base);
        }
        System.out.printf("ratio of wall times, with security: %.2f; target for both ratios: <= 1.30%n",
                median(wall[2]) / median(wall[0]));
    }

    static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    static void plain(Path root, String[] names, byte[] buffer) throws IOException {
        for (String name : names) {
            try (FileInputStream in = new FileInputStream(root.resolve(name.replace('\\', '/')).toFile())) {
                while (in.read(buffer) > 0) {
                    // the data itself is not looked at by either way
                }
            }
        }
    }

    static void backup(String windowsRoot, String[] names, byte[] buffer, int[] context, boolean security)
            throws IOException {
        for (String name : names) {
            long handle = BackupApi.CreateFile(windowsRoot + "\\" + name,
                    BackupApi.GENERIC_READ | (security ? BackupApi.READ_CONTROL : 0), BackupApi.FILE_SHARE_READ, 0,
                    BackupApi.OPEN_EXISTING, BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
            context[0] = 0;
            context[1] = 0;
            long total = 0;
            int n;
            while ((n = BackupApi.BackupRead(context, handle, buffer, 0, buffer.length, false, security)) > 0) {
                total += n;
            }
            BackupApi.BackupRead(context, handle, buffer, 0, 0, true, security);
            if (total < FILE_SIZE + 20) {
                throw new IOException(name + ": a backup stream of " + total + " bytes");
            }
        }
    }
}
