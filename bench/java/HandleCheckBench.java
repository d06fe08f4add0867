import com.pemrix.vss.BackupComponents;
import com.pemrix.vss.VSSFactory;
import com.pemrix.vss.WriterMetaData;
import java.util.Arrays;

/**
 * What checking a handle costs a cheap native: WriterMetaData.getUsageType on a handle whose
 * identity is already read (the handle looked up in the table of live objects, then a cached
 * number returned), against VSSFactory.delete_CUnknown(0), a native that returns at once without
 * a lookup: the price of the call itself. Other objects are kept alive meanwhile, so that the
 * table is not trivially small. Rounds alternate; the medians are compared.
 * Usage: HandleCheckBench [calls per round in millions] [rounds] [other live objects]
 */
public final class HandleCheckBench {
    private static final String WRITER = "<WriterMetadata name=\"Bench Writer\""
            + " writerId=\"{4f2e6a10-93c1-4b7e-8d25-0c6e1f3a9b47}\""
            + " instanceId=\"{a7d3c0e2-5b19-4f86-9e4a-2d8c71b05f63}\" usage=\"3\" source=\"2\"/>";
    private static volatile int sink;

    public static void main(String[] args) throws Exception {
        int calls = (args.length > 0 ? Integer.parseInt(args[0]) : 20) * 1_000_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 7;
        int others = args.length > 2 ? Integer.parseInt(args[2]) : 10_000;
        VSSFactory.init();
        // The requester initialises COM on this thread, which the service's calls need.
        BackupComponents requester = VSSFactory.getBackupComponents0();
        long[] alive = new long[others];
        for (int i = 0; i < others; i++) {
            alive[i] = WriterMetaData.Create(WRITER);
        }
        long metadata = WriterMetaData.Create(WRITER);
        WriterMetaData.getUsageType(metadata);

        uncheckedLoop(calls);
        checkedLoop(calls, metadata);
        double[] unchecked = new double[rounds];
        double[] checked = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            long start = System.nanoTime();
            uncheckedLoop(calls);
            unchecked[r] = (System.nanoTime() - start) / (double) calls;
            start = System.nanoTime();
            checkedLoop(calls, metadata);
            checked[r] = (System.nanoTime() - start) / (double) calls;
        }
        VSSFactory.delete_CUnknown(metadata);
        for (long handle : alive) {
            VSSFactory.delete_CUnknown(handle);
        }
        VSSFactory.delete_CUnknown(requester.handle());
        Arrays.sort(unchecked);
        Arrays.sort(checked);
        double floor = unchecked[rounds / 2];
        double cost = checked[rounds / 2];
        System.out.printf("%d calls per round, %d rounds (medians), %d other objects alive%n", calls, rounds,
                others + 2);
        System.out.printf("delete_CUnknown(0), no lookup       %6.1f ns per call%n", floor);
        System.out.printf("getUsageType(h), handle looked up   %6.1f ns per call%n", cost);
        System.out.printf("difference (lookup and cached read) %6.1f ns; ratio %.2f%n", cost - floor, cost / floor);
    }

    private static void uncheckedLoop(int calls) {
        for (int i = 0; i < calls; i++) {
            VSSFactory.delete_CUnknown(0);
        }
    }

    private static void checkedLoop(int calls, long metadata) throws Exception {
        int total = 0;
        for (int i = 0; i < calls; i++) {
            total += WriterMetaData.getUsageType(metadata);
        }
        sink = total;
    }
}
