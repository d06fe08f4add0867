import com.pemrix.vaultcore.os.win32.RegValue;
import com.pemrix.vaultcore.os.win32.RegistryApi;
import java.io.BufferedWriter;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Enumerating a key by index from Java (RegEnumValueW and RegEnumKeyExW, index 0, 1, 2, ... to
 * the end), at a small and a large key: the time per item at both sizes and their ratio, which
 * stays near 1 when each step costs the same whatever the key's size. RegGetValue of the same
 * values, by name, is printed beside it.
 *
 * <p>Usage: RegistryEnumBench [small, default 10000] [large, default 100000] [rounds, default 3];
 * the machine tool named by WINSIM_BIN fills the keys.
 */
public class RegistryEnumBench {
    private static final long HKLM = RegistryApi.HKEY_LOCAL_MACHINE;

    public static void main(String[] args) throws Exception {
        int small = args.length > 0 ? Integer.parseInt(args[0]) : 10_000;
        int large = args.length > 1 ? Integer.parseInt(args[1]) : 100_000;
        int rounds = args.length > 2 ? Integer.parseInt(args[2]) : 3;
        RegistryApi.init();
        fill("Small", small);
        fill("Large", large);

        Figures smallFigures = measure("Small", small, rounds);
        Figures largeFigures = measure("Large", large, rounds);
        System.out.printf("%-26s %12s %12s %8s%n", "per item (ns, median)", small + " items", large + " items", "ratio");
        row("RegEnumValueW", smallFigures.values, largeFigures.values);
        row("RegEnumKeyExW", smallFigures.subkeys, largeFigures.subkeys);
        row("RegGetValue (by name)", smallFigures.byName, largeFigures.byName);
        System.out.println("target: RegEnumValueW and RegEnumKeyExW ratios at most 1.3");
    }

    private static void row(String what, double small, double large) {
        System.out.printf("%-26s %12.0f %12.0f %8.2f%n", what, small, large, large / small);
    }

    private static final class Figures {
        double values;
        double subkeys;
        double byName;
    }

    private static String valueName(int i) {
        return "Value " + i;
    }

    /** HKLM\SOFTWARE\Bench\<name> with count values and count subkeys, through one registry file. */
    private static void fill(String name, int count) throws IOException, InterruptedException {
        Path file = Files.createTempFile("bench", ".reg");
        try {
            try (BufferedWriter out = Files.newBufferedWriter(file, StandardCharsets.UTF_8)) {
                String key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\" + name;
                out.write("Windows Registry Editor Version 5.00\n\n[" + key + "]\n");
                for (int i = 0; i < count; i++) {
                    out.write("\"" + valueName(i) + "\"=dword:" + String.format("%08x", i) + "\n");
                }
                for (int i = 0; i < count; i++) {
                    out.write("[" + key + "\\Subkey " + i + "]\n");
                }
            }
            Process tool = new ProcessBuilder(System.getenv("WINSIM_BIN") + "/winsim", "reg", "import", file.toString())
                    .inheritIO().start();
            if (tool.waitFor() != 0) {
                throw new IllegalStateException("winsim reg import failed");
            }
        } finally {
            Files.delete(file);
        }
    }

    private static Figures measure(String name, int count, int rounds) throws Exception {
        long key = RegistryApi.RegOpenKeyEx(HKLM, "SOFTWARE\\Bench\\" + name, 0, RegistryApi.KEY_READ);
        double[] values = new double[rounds];
        double[] subkeys = new double[rounds];
        double[] byName = new double[rounds];
        RegValue value = new RegValue();
        List<String> names = new ArrayList<>();
        for (int i = 0; i < count; i++) {
            names.add(valueName(i));
        }
        for (int round = 0; round < rounds; round++) {
            long start = System.nanoTime();
            int seen = 0;
            while (RegistryApi.RegEnumValueW(key, seen, value)) {
                seen++;
            }
            values[round] = (System.nanoTime() - start) / (double) seen;
            check(seen, count, "values");

            start = System.nanoTime();
            seen = 0;
            while (RegistryApi.RegEnumKeyExW(key, seen) != null) {
                seen++;
            }
            subkeys[round] = (System.nanoTime() - start) / (double) seen;
            check(seen, count, "subkeys");

            start = System.nanoTime();
            for (String valueName : names) {
                RegistryApi.RegGetValue(key, valueName, value);
            }
            byName[round] = (System.nanoTime() - start) / (double) count;
        }
        RegistryApi.RegCloseKey(key);
        Figures figures = new Figures();
        figures.values = median(values);
        figures.subkeys = median(subkeys);
        figures.byName = median(byName);
        return figures;
    }

    private static void check(int seen, int count, String what) {
        if (seen != count) {
            throw new IllegalStateException("enumerated " + seen + " " + what + " of " + count);
        }
    }

    private static double median(double[] figures) {
        double[] sorted = figures.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }
}
