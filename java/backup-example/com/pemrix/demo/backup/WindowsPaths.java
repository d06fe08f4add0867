package com.pemrix.demo.backup;

import java.util.Locale;

/** Windows path arithmetic: names compare without regard to case, backslash separates. */
final class WindowsPaths {
    private WindowsPaths() {}

    /** {@code C:\dir} and {@code name} give {@code C:\dir\name}; a root keeps its one backslash. */
    static String join(String directory, String name) {
        if (name.isEmpty()) {
            return directory;
        }
        return directory.endsWith("\\") ? directory + name : directory + "\\" + name;
    }

    /** The path without a trailing backslash, except for a drive's root ({@code C:\}). */
    static String trim(String path) {
        String trimmed = path;
        while (trimmed.endsWith("\\") && trimmed.length() > 3) {
            trimmed = trimmed.substring(0, trimmed.length() - 1);
        }
        if (trimmed.length() == 2 && trimmed.charAt(1) == ':') {
            trimmed += "\\";
        }
        return trimmed;
    }

    /** Whether path is ancestor itself or lies below it. */
    static boolean isWithin(String path, String ancestor) {
        String p = trim(path);
        String a = trim(ancestor);
        if (p.equalsIgnoreCase(a)) {
            return true;
        }
        String prefix = a.endsWith("\\") ? a : a + "\\";
        return p.regionMatches(true, 0, prefix, 0, prefix.length());
    }

    /** The part of path below root ({@code ""} for root itself); path must lie within root. */
    static String relative(String path, String root) {
        String p = trim(path);
        String r = trim(root);
        if (p.equalsIgnoreCase(r)) {
            return "";
        }
        String prefix = r.endsWith("\\") ? r : r + "\\";
        if (!p.regionMatches(true, 0, prefix, 0, prefix.length())) {
            throw new IllegalArgumentException(path + " is not within " + root);
        }
        return p.substring(prefix.length());
    }

    /** The last name of a path. */
    static String name(String path) {
        String p = trim(path);
        return p.substring(p.lastIndexOf('\\') + 1);
    }

    /** Whether a name matches a file pattern with {@code *} and {@code ?}, as Windows matches them. */
    static boolean matches(String name, String pattern) {
        if (pattern.equals("*") || pattern.equals("*.*")) {
            return true;
        }
        return matches(name.toLowerCase(Locale.ROOT), 0, pattern.toLowerCase(Locale.ROOT), 0);
    }

    private static boolean matches(String name, int n, String pattern, int p) {
        while (p < pattern.length()) {
            char c = pattern.charAt(p);
            if (c == '*') {
                for (int rest = n; rest <= name.length(); rest++) {
                    if (matches(name, rest, pattern, p + 1)) {
                        return true;
                    }
                }
                return false;
            }
            if (n >= name.length() || (c != '?' && c != name.charAt(n))) {
                return false;
            }
            n++;
            p++;
        }
        return n == name.length();
    }

    /** Ordering of names in a directory listing: without regard to case, then exactly. */
    static int compareNames(String a, String b) {
        int c = a.compareToIgnoreCase(b);
        return c != 0 ? c : a.compareTo(b);
    }
}
