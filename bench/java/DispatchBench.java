import com.pemrix.comutil.COMInterface;
import com.pemrix.comutil.IDispatch;
import java.util.Arrays;

/**
 * The cost of one IDispatch.invoke of a property get on the machine's dictionary (Item with a
 * string key, a string result), against a plain JNI native call (COMInterface.COMUnInit on a
 * thread without COM, which returns at once), measured in the same run. Rounds alternate
 * between the two; the medians are compared.
 * Usage: DispatchBench [calls per round] [rounds]
 */
public final class DispatchBench {
    public static void main(String[] args) throws Exception {
        int calls = args.length > 0 ? Integer.parseInt(args[0]) : 200_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 9;
        COMInterface.init();
        double[] plain = new double[rounds];
        double[] invoke = new double[rounds];
        // The baseline runs on a thread that never entered COM, so COMUnInit does nothing.
        Thread baseline = new Thread(() -> {
            COMUnInitRound(calls);
            for (int r = 0; r < rounds; r++) {
                plain[r] = COMUnInitRound(calls);
            }
        });
        if (COMInterface.COMInit(COMInterface.COINIT_APARTMENTTHREADED) != 0) {
            throw new IllegalStateException("COM did not start");
        }
        IDispatch dictionary = COMInterface.getIDispatch("WinSim.Dictionary");
        try {
            dictionary.call("Add", "key", "value");
            Object[] key = {"key"};
            invokeRound(dictionary.handle(), key, calls);
            baseline.start();
            baseline.join();
            for (int r = 0; r < rounds; r++) {
                invoke[r] = invokeRound(dictionary.handle(), key, calls);
            }
        } finally {
            IDispatch.release(dictionary.handle());
            COMInterface.COMUnInit();
        }
        Arrays.sort(plain);
        Arrays.sort(invoke);
        double plainMedian = plain[rounds / 2];
        double invokeMedian = invoke[rounds / 2];
        System.out.printf("calls per round                 %d, %d rounds%n", calls, rounds);
        System.out.printf("plain JNI native call           %8.1f ns (median)%n", plainMedian);
        System.out.printf("invoke of Item get (dictionary) %8.1f ns (median)%n", invokeMedian);
        System.out.printf("ratio invoke/plain native       %.1f%n", invokeMedian / plainMedian);
    }

    private static double COMUnInitRound(int calls) {
        long start = System.nanoTime();
        for (int i = 0; i < calls; i++) {
            COMInterface.COMUnInit();
        }
        return (System.nanoTime() - start) / (double) calls;
    }

    private static double invokeRound(long handle, Object[] key, int calls) throws Exception {
        long start = System.nanoTime();
        for (int i = 0; i < calls; i++) {
            if (IDispatch.invoke(handle, "Item", key, IDispatch.PROPERTYGET) == null) {
                throw new IllegalStateException("no item");
            }
        }
        return (System.nanoTime() - start) / (double) calls;
    }
}
