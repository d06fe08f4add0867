import com.norvane.fileutils.Win32FileInfo;
import com.norvane.fileutils.Win32FileNatives;
import java.io.File;
import java.io.IOException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.Arrays;

/**
 * Enumerating a directory of many files with each entry's size and kind: through
 * nativeFindFirstFile / nativeFindNextFile, against Files.newDirectoryStream with
 * readAttributes(BasicFileAttributes) of each entry, and against File.listFiles with length() and
 * isDirectory(), in the same run. Rounds rotate the order of the three; medians are compared.
 * Usage: FindFilesBench [files, default 100000] [rounds, default 7]
 */
public final class FindFilesBench {
    public static void main(String[] args) throws Exception {
        int files = args.length > 0 ? Integer.parseInt(args[0]) : 100_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 7;
        String windowsDirectory = "C:\\bench-find";
        Path host = Paths.get(System.getenv("WINSIM_ROOT"), "drive_c", "bench-find");
        Files.createDirectories(host);
        byte[] contents = new byte[100];
        for (int i = 0; i < files; i++) {
            Files.write(host.resolve(String.format("file-%06d.dat", i)), contents);
        }

        // Let the files' change times settle (listings keep the attributes of files unchanged for
        // over a second), then list once each way; the natives' first listing reads every file's
        // attribute record, later ones only a status call per entry, as NIO makes.
        Thread.sleep(1500);
        long[] expected = {files + 2, (long) files * contents.length};  // "." and ".." too
        long start = System.nanoTime();
        check("natives", expected, natives(windowsDirectory));
        double firstNative = (System.nanoTime() - start) / 1e6;
        check("NIO", new long[] {files, expected[1]}, nio(host));
        check("File", new long[] {files, expected[1]}, listFiles(host));

        double[] nativeTimes = new double[rounds];
        double[] nioTimes = new double[rounds];
        double[] fileTimes = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            for (int k = 0; k < 3; k++) {
                switch ((r + k) % 3) {
                case 0: {
                    start = System.nanoTime();
                    natives(windowsDirectory);
                    nativeTimes[r] = (System.nanoTime() - start) / 1e6;
                    break;
                }
                case 1: {
                    start = System.nanoTime();
                    nio(host);
                    nioTimes[r] = (System.nanoTime() - start) / 1e6;
                    break;
                }
                default: {
                    start = System.nanoTime();
                    listFiles(host);
                    fileTimes[r] = (System.nanoTime() - start) / 1e6;
                }
                }
            }
        }
        double nativeMedian = median(nativeTimes), nioMedian = median(nioTimes), fileMedian = median(fileTimes);
        System.out.printf("directory of %d files, %d rounds%n", files, rounds);
        System.out.printf("nativeFindFirstFile/NextFile            %8.1f ms (median)%n", nativeMedian);
        System.out.printf("newDirectoryStream + readAttributes     %8.1f ms (median)%n", nioMedian);
        System.out.printf("File.listFiles + length + isDirectory   %8.1f ms (median)%n", fileMedian);
        System.out.printf("ratio natives/NIO   %.2f  (target <= 1.00)%n", nativeMedian / nioMedian);
        System.out.printf("natives' first listing (reads every file's attribute record)  %.1f ms%n", firstNative);
        System.out.printf("ratio natives/File  %.2f%n", nativeMedian / fileMedian);
    }

    static void check(String what, long[] expected, long[] got) {
        if (!Arrays.equals(expected, got)) {
            throw new IllegalStateException(what + " saw " + Arrays.toString(got) + ", not " + Arrays.toString(expected));
        }
    }

    static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    // Each returns the entries it saw and the sum of the file sizes, so no work can be skipped.
    static long[] natives(String directory) {
        Win32FileInfo info = new Win32FileInfo();
        long handle = Win32FileNatives.nativeFindFirstFile(directory + "\\*", info);
        long entries = 0, bytes = 0;
        do {
            entries++;
            if (!info.directory) {
                bytes += info.filesize;
            }
        } while (Win32FileNatives.nativeFindNextFile(handle, info) != null);
        Win32FileNatives.nativeFindClose(handle);
        return new long[] {entries, bytes};
    }

    static long[] nio(Path directory) throws IOException {
        long entries = 0, bytes = 0;
        try (DirectoryStream<Path> stream = Files.newDirectoryStream(directory)) {
            for (Path entry : stream) {
                BasicFileAttributes attributes = Files.readAttributes(entry, BasicFileAttributes.class);
                entries++;
                if (!attributes.isDirectory()) {
                    bytes += attributes.size();
                }
            }
        }
        return new long[] {entries, bytes};
    }

    static long[] listFiles(Path directory) {
        long entries = 0, bytes = 0;
        for (File file : directory.toFile().listFiles()) {
            entries++;
            if (!file.isDirectory()) {
                bytes += file.length();
            }
        }
        return new long[] {entries, bytes};
    }
}
