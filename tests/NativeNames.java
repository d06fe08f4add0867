import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;

/**
 * Prints the JNI short names of the native methods declared by the classes of a jar whose names
 * start with one of the given prefixes, one per line, sorted.
 * Usage: java -cp JAR NativeNames.java JAR PREFIX...
 */
public class NativeNames {
    public static void main(String[] args) throws Exception {
        List<String> names = new ArrayList<>();
        try (JarFile jar = new JarFile(args[0])) {
            for (JarEntry entry : Collections.list(jar.entries())) {
                String file = entry.getName();
                if (!file.endsWith(".class") || file.contains("$")) {
                    continue;
                }
                String className = file.substring(0, file.length() - 6).replace('/', '.');
                boolean wanted = false;
                for (int i = 1; i < args.length; i++) {
                    wanted |= className.startsWith(args[i]);
                }
                if (!wanted) {
                    continue;
                }
                Class<?> type = Class.forName(className, false, NativeNames.class.getClassLoader());
                for (Method method : type.getDeclaredMethods()) {
                    if (Modifier.isNative(method.getModifiers())) {
                        names.add("Java_" + mangle(className) + "_" + mangle(method.getName()));
                    }
                }
            }
        }
        Collections.sort(names);
        names.forEach(System.out::println);
    }

    private static String mangle(String name) {
        StringBuilder out = new StringBuilder();
        for (char c : name.toCharArray()) {
            if (c == '.') {
                out.append('_');
            } else if (c == '_') {
                out.append("_1");
            } else if (c < 128 && Character.isLetterOrDigit(c)) {
                out.append(c);
            } else {
                out.append(String.format("_0%04x", (int) c));
            }
        }
        return out.toString();
    }
}
