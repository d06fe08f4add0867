import com.norvane.fileutils.Win32FileNatives;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardWatchEventKinds;
import java.nio.file.WatchKey;
import java.nio.file.WatchService;
import java.util.Arrays;
import java.util.concurrent.Semaphore;
import java.util.concurrent.atomic.AtomicLong;

/**
 * Change notification latency: from the moment another thread creates a file to the return of
 * nativeWaitForSingleObject on a change handle of its directory, over many changes; the same
 * measured through java.nio's WatchService (the JDK's own inotify watcher) as the baseline.
 * Usage: ChangeLatencyBench [changes, default 1000]
 */
public final class ChangeLatencyBench {
    interface Waiter {
        void await() throws Exception;
    }

    public static void main(String[] args) throws Exception {
        int changes = args.length > 0 ? Integer.parseInt(args[0]) : 1000;
        Path host = Paths.get(System.getenv("WINSIM_ROOT"), "drive_c", "bench-notify");
        Files.createDirectories(host.resolve("natives"));
        Files.createDirectories(host.resolve("watcher"));

        long handle = Win32FileNatives.nativeFindFirstChangeNotification("C:\\bench-notify\\natives", false,
                Win32FileNatives.FILE_NOTIFY_CHANGE_FILE_NAME);
        double[] natives = measure(host.resolve("natives"), changes, () -> {
            if (Win32FileNatives.nativeWaitForSingleObject(handle, Win32FileNatives.INFINITE) != 0) {
                throw new IllegalStateException("the wait failed");
            }
            Win32FileNatives.nativeFindNextChangeNotification(handle);
        });
        Win32FileNatives.nativeFindCloseChangeNotification(handle);

        double[] watcher;
        try (WatchService service = FileSystems.getDefault().newWatchService()) {
            host.resolve("watcher").register(service, StandardWatchEventKinds.ENTRY_CREATE);
            watcher = measure(host.resolve("watcher"), changes, () -> {
                WatchKey key = service.take();
                key.pollEvents();
                key.reset();
            });
        }

        System.out.printf("%d file creations, each by another thread%n", changes);
        System.out.printf("nativeWaitForSingleObject  median %7.3f ms, 99th percentile %7.3f ms  (target: median < 5 ms)%n",
                percentile(natives, 50), percentile(natives, 99));
        System.out.printf("WatchService.take          median %7.3f ms, 99th percentile %7.3f ms%n",
                percentile(watcher, 50), percentile(watcher, 99));
        System.out.printf("ratio natives/WatchService (medians)  %.2f%n", percentile(natives, 50) / percentile(watcher, 50));
    }

    /** Latencies in milliseconds: a writer thread creates one file at a time once the waiter is ready. */
    static double[] measure(Path directory, int changes, Waiter waiter) throws Exception {
        double[] latencies = new double[changes];
        Semaphore ready = new Semaphore(0);
        AtomicLong createdAt = new AtomicLong();
        Thread writer = new Thread(() -> {
            try {
                for (int i = 0; i < changes; i++) {
                    ready.acquire();
                    createdAt.set(System.nanoTime());
                    Files.createFile(directory.resolve("change-" + i));
                }
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        writer.start();
        for (int i = 0; i < changes; i++) {
            ready.release();
            waiter.await();
            latencies[i] = (System.nanoTime() - createdAt.get()) / 1e6;
        }
        writer.join();
        return latencies;
    }

    static double percentile(double[] values, int percent) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[Math.min(sorted.length - 1, sorted.length * percent / 100)];
    }
}
