package com.pemrix.demo.backup;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Locale;
import java.util.Properties;

/**
 * What a run does, from "backup.properties" in the client's working directory:
 *
 * <pre>
 * archive  = C:\Backups\machine.zip          the archive (required)
 * volume   = C:\                              the volume whose shadow copy is read
 * include  = C:\                              what to back up, ";"-separated, below the volume
 * exclude  = C:\Windows\System32;...          what to leave out, ";"-separated
 * max-rate = 0                                MiB per second read from the snapshot; 0: no limit
 * job      = backup                           backup, restore or verify, when started without one
 * </pre>
 *
 * Besides what {@code exclude} names, a backup always leaves out the archive's folder and the
 * client's working directory (both change while it runs), the system's temporary files, and the
 * registry's hive files, which the registry part of the backup takes on its own.
 */
final class JobSettings {
    static final String FILE_NAME = "backup.properties";

    final String archive;
    final String volume;
    final List<String> include;
    final List<String> exclude;
    final double maxRateMiB;
    final String defaultJob;

    JobSettings(String archive, String volume, List<String> include, List<String> exclude, double maxRateMiB,
            String defaultJob) {
        this.archive = archive;
        this.volume = volume;
        this.include = Collections.unmodifiableList(new ArrayList<>(include));
        this.exclude = Collections.unmodifiableList(new ArrayList<>(exclude));
        this.maxRateMiB = maxRateMiB;
        this.defaultJob = defaultJob;
    }

    /**
     * Reads the settings file: "key = value" lines, "#" starts a comment line. Values are taken as
     * they stand, so Windows paths keep their single backslashes.
     */
    static JobSettings load(Path file) throws JobFailure {
        List<String> lines;
        try {
            lines = Files.readAllLines(file, StandardCharsets.UTF_8);
        } catch (IOException e) {
            throw new JobFailure("cannot read " + FILE_NAME + " (" + e.getMessage() + ")", e);
        }
        Properties properties = new Properties();
        for (String line : lines) {
            String text = line.strip();
            if (text.isEmpty() || text.startsWith("#")) {
                continue;
            }
            int equals = text.indexOf('=');
            if (equals <= 0) {
                throw new JobFailure(FILE_NAME + ": not a \"key = value\" line: " + text);
            }
            properties.setProperty(text.substring(0, equals).strip(), text.substring(equals + 1).strip());
        }
        try {
            return parse(properties);
        } catch (IllegalArgumentException e) {
            throw new JobFailure(FILE_NAME + ": " + e.getMessage(), e);
        }
    }

    static JobSettings parse(Properties properties) {
        String archive = properties.getProperty("archive", "").trim();
        if (archive.isEmpty()) {
            throw new IllegalArgumentException("names no archive");
        }
        requireAbsolute("archive", archive);
        String volume = WindowsPaths.trim(properties.getProperty("volume", "C:\\").trim());
        if (!(volume.length() == 3 && volume.endsWith(":\\"))) {
            throw new IllegalArgumentException("volume must be a drive's root such as C:\\, not " + volume);
        }
        List<String> include = list(properties.getProperty("include", volume));
        if (include.isEmpty()) {
            include = List.of(volume);
        }
        for (String root : include) {
            requireAbsolute("include", root);
            if (!WindowsPaths.isWithin(root, volume)) {
                throw new IllegalArgumentException("include " + root + " is not on the volume " + volume);
            }
        }
        List<String> exclude = list(properties.getProperty("exclude", ""));
        for (String path : exclude) {
            requireAbsolute("exclude", path);
        }
        double maxRate;
        try {
            maxRate = Double.parseDouble(properties.getProperty("max-rate", "0").trim());
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException("max-rate is not a number: " + properties.getProperty("max-rate"));
        }
        if (maxRate < 0 || Double.isNaN(maxRate)) {
            throw new IllegalArgumentException("max-rate must not be negative");
        }
        String job = properties.getProperty("job", "backup").trim().toLowerCase(Locale.ROOT);
        Job.kind(job);
        return new JobSettings(WindowsPaths.trim(archive), volume, include, exclude, maxRate, job);
    }

    private static List<String> list(String text) {
        List<String> items = new ArrayList<>();
        for (String item : text.split(";")) {
            if (!item.isBlank()) {
                items.add(WindowsPaths.trim(item.trim()));
            }
        }
        return items;
    }

    private static void requireAbsolute(String key, String path) {
        boolean absolute = path.length() >= 3 && Character.isLetter(path.charAt(0)) && path.charAt(1) == ':'
                && path.charAt(2) == '\\';
        if (!absolute) {
            throw new IllegalArgumentException(key + " must be an absolute path such as C:\\dir, not " + path);
        }
    }

    /** The archive's temporary name while a backup writes it. */
    String partialArchive() {
        return archive + ".partial";
    }
}
