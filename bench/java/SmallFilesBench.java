import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.FileInputStream;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;

/**
 * The cost of a small file: 20,000 files of 4 KiB read whole, one by one, through CreateFile +
 * BackupRead (with and without security) into a Java array, against FileInputStream open, read
 * and close of the same files, in the same run. Rounds alternate between the ways; the medians
 * of the time per file are compared.
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

        double[] plain = new double[rounds];
        double[] backup = new double[rounds];
        double[] secured = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            long start = System.nanoTime();
            plain(root, names, buffer);
            plain[r] = (System.nanoTime() - start) / 1e3 / files;
            start = System.nanoTime();
            backup(windowsRoot, names, buffer, context, false);
            backup[r] = (System.nanoTime() - start) / 1e3 / files;
            start = System.nanoTime();
            backup(windowsRoot, names, buffer, context, true);
            secured[r] = (System.nanoTime() - start) / 1e3 / files;
        }
        Arrays.sort(plain);
        Arrays.sort(backup);
        Arrays.sort(secured);
        double base = plain[rounds / 2];
        System.out.printf("%d files of %d bytes, %d rounds (medians per file)%n", files, FILE_SIZE, rounds);
        System.out.printf("FileInputStream open, read, close      %6.1f us%n", base);
        System.out.printf("CreateFile + BackupRead                %6.1f us  ratio %.2f%n", backup[rounds / 2],
                backup[rounds / 2] / base);
        System.out.printf("CreateFile + BackupRead with security  %6.1f us  ratio %.2f  (target <= 1.30)%n",
                secured[rounds / 2], secured[rounds / 2] / base);
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
