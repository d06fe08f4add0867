package com.pemrix.demo.backup;

import com.pemrix.vaultcore.os.win32.RegValue;
import com.pemrix.vaultcore.os.win32.RegistryApi;
import java.io.InputStream;
import java.nio.file.Files;
import java.time.LocalDateTime;
import java.time.format.DateTimeFormatter;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The machine's registry hives. The hive files are in use, so the file part leaves them out; this
 * part takes each from the snapshot (where it is whole) into the archive, and to record what it
 * holds, copies it to a temporary file, loads that with RegLoadKey under a name of its own, walks
 * its keys and values into a key list kept beside the hive, and unloads it. A restore writes each
 * hive file beside the live one and hands it to RegReplaceKey, which puts it in place when the
 * machine next starts; a verification compares the live hives with the key lists.
 *
 * <p>Manifest records: {@code hive root=HKLM key=SOFTWARE file=C:\Windows\System32\config\SOFTWARE
 * entry=registry/N keys=registry/M key-count= value-count=}.
 */
final class RegistryPart implements Part {
    static final String RECORD = "hive";

    /** A hive of the machine: the root it hangs under, its key there and its file below %SystemRoot%. */
    static final class MachineHive {
        final String root;
        final String key;
        final String file;

        MachineHive(String root, String key, String file) {
            this.root = root;
            this.key = key;
            this.file = file;
        }
    }

    static final List<MachineHive> MACHINE_HIVES = List.of(
            new MachineHive("HKLM", "SOFTWARE", "System32\\config\\SOFTWARE"),
            new MachineHive("HKLM", "SYSTEM", "System32\\config\\SYSTEM"),
            new MachineHive("HKU", ".DEFAULT", "System32\\config\\DEFAULT"));

    private static final int REG_OPTION_BACKUP_RESTORE = 4;
    private static final int MAX_DEPTH = 512;

    @Override
    public String name() {
        return "registry";
    }

    static long rootKey(String root) {
        switch (root) {
            case "HKLM":
                return RegistryApi.HKEY_LOCAL_MACHINE;
            case "HKU":
                return RegistryApi.HKEY_USERS;
            default:
                throw new IllegalArgumentException("no registry root " + root);
        }
    }

    // ---- backup ----

    @Override
    public void backUp(BackupRun run) throws Exception {
        RegistryApi.init();
        String systemRoot = BackupJob.systemRoot();
        for (MachineHive hive : MACHINE_HIVES) {
            run.control.checkpoint();
            String file = WindowsPaths.join(systemRoot, hive.file);
            if (!WindowsPaths.isWithin(file, run.settings.volume)) {
                continue;
            }
            String snapshot = run.snapshotPath(file);
            if (!FilesPart.exists(snapshot)) {
                continue;
            }
            String entry = run.newEntryName("registry");
            long length;
            try {
                length = run.archive.put(entry, () -> new BackupReadStream(snapshot, run.progress::moved));
            } catch (ArchiveWriter.UnreadableSource e) {
                run.skipped(file, "the hive file cannot be read (" + e.getMessage() + ")");
                continue;
            }
            Manifest keys = keyList(run, hive, snapshot);
            String keysEntry = run.newEntryName("registry");
            run.archive.put(keysEntry, keys.encode());
            run.manifest.add(RECORD).put("root", hive.root).put("key", hive.key).put("file", file).put("entry", entry)
                    .put("keys", keysEntry).put("key-count", keys.all("key").size())
                    .put("value-count", keys.all("value").size());
            run.log.line("hive " + hive.root + "\\" + hive.key + ": " + keys.all("key").size() + " keys, "
                    + keys.all("value").size() + " values");
            run.progress.fileDone(length);
        }
    }

    /** The keys and values of a hive file of the snapshot, read through a loaded copy of it. */
    private static Manifest keyList(BackupRun run, MachineHive hive, String snapshot) throws Exception {
        String copy = WindowsPaths.join(WindowsPaths.join(BackupJob.systemRoot(), "Temp"),
                "qzbackup-" + hive.key.replace('.', '_') + ".hiv");
        String mountName = "QzBackup-" + hive.key.replace('.', '_');
        long root = rootKey(hive.root);
        Files.createDirectories(LocalFiles.of(LocalFiles.parent(copy)));
        unloadStale(root, mountName);
        Files.deleteIfExists(LocalFiles.of(copy));
        BackupStreams.copy(snapshot, copy, run.buffer);
        try {
            RegistryApi.RegLoadKey(root, mountName, copy);
            try {
                return walk(root, mountName, run.control);
            } finally {
                RegistryApi.RegUnLoadKey(root, mountName);
            }
        } finally {
            Files.deleteIfExists(LocalFiles.of(copy));
        }
    }

    /** A hive that an earlier run left loaded (it ended without unloading it) is unloaded first. */
    private static void unloadStale(long root, String mountName) {
        try {
            RegistryApi.RegCloseKey(RegistryApi.RegOpenKeyEx(root, mountName, 0, RegistryApi.KEY_READ));
        } catch (Exception notLoaded) {
            return;
        }
        try {
            RegistryApi.RegUnLoadKey(root, mountName);
        } catch (Exception stillInUse) {
            // RegLoadKey reports it next, with the system's words.
        }
    }

    /** Every key below root\path (paths relative to it, "" for itself) and its values. */
    static Manifest walk(long root, String path, JobControl control) throws Exception {
        Manifest list = new Manifest();
        long key = RegistryApi.RegOpenKeyEx(root, path, REG_OPTION_BACKUP_RESTORE, RegistryApi.KEY_READ);
        try {
            walk(key, "", list, control, 0);
        } finally {
            RegistryApi.RegCloseKey(key);
        }
        return list;
    }

    private static void walk(long key, String path, Manifest list, JobControl control, int depth) throws Exception {
        control.checkpoint();
        list.add("key").put("path", path);
        RegValue value = new RegValue();
        for (int i = 0; RegistryApi.RegEnumValueW(key, i, value); i++) {
            list.add("value").put("key", path).put("name", value.name).put("type", value.type)
                    .put("data", valueText(value));
            value = new RegValue();
        }
        if (depth >= MAX_DEPTH) {
            return;
        }
        List<String> subkeys = new ArrayList<>();
        for (String name; (name = RegistryApi.RegEnumKeyExW(key, subkeys.size())) != null;) {
            subkeys.add(name);
        }
        for (String name : subkeys) {
            long subkey = RegistryApi.RegOpenKeyEx(key, name, REG_OPTION_BACKUP_RESTORE, RegistryApi.KEY_READ);
            try {
                walk(subkey, path.isEmpty() ? name : path + "\\" + name, list, control, depth + 1);
            } finally {
                RegistryApi.RegCloseKey(subkey);
            }
        }
    }

    /**
     * A value's data as the natives give it: the text of a string, the elements of a multi-string
     * (separated by NUL), the bytes of a binary value in hex, and the number of any other type.
     */
    static String valueText(RegValue value) {
        switch (value.type) {
            case 1:
            case 2:
                return value.stringValue == null ? "" : value.stringValue;
            case 3:
                return value.byteArray == null ? "" : HexFormat.of().formatHex(value.byteArray);
            case 7:
                if (value.stringArray == null) {
                    return "";
                }
                List<String> elements = new ArrayList<>();
                for (String element : value.stringArray) {
                    elements.add(element == null ? "" : element);
                }
                return String.join("\0", elements);
            default:
                return Integer.toUnsignedString(value.dwordVal);
        }
    }

    // ---- restore ----

    @Override
    public void restore(RestoreRun run) throws Exception {
        if (run.manifest.all(RECORD).isEmpty()) {
            return;
        }
        RegistryApi.init();
        String stamp = LocalDateTime.now().format(DateTimeFormatter.ofPattern("yyyyMMdd-HHmmss"));
        for (Manifest.Record record : run.manifest.all(RECORD)) {
            run.control.checkpoint();
            String file = record.get("file");
            String name = record.get("root") + "\\" + record.get("key");
            String replacement = file + ".restored";
            String previous = file + ".before-restore-" + stamp;
            try {
                FilesPart.makeReplaceable(replacement);
                long length;
                try (InputStream in = run.archive.open(record.get("entry"))) {
                    length = BackupStreams.write(replacement, false, in, run.buffer, run.progress::moved);
                }
                RegistryApi.RegReplaceKey(rootKey(record.get("root")), record.get("key"), replacement, previous);
                run.pendingRestart.add(name);
                run.log.line("hive " + name + " replaced at the next restart (the present one is kept in "
                        + previous + ")");
                run.progress.fileDone(length);
            } catch (Exception e) {
                run.failed(name, "the hive cannot be replaced (" + e.getMessage() + ")");
            }
        }
    }

    // ---- verification ----

    static final String SECTION = "registry";

    @Override
    public void verify(VerifyRun run) throws Exception {
        if (run.manifest.all(RECORD).isEmpty()) {
            return;
        }
        RegistryApi.init();
        run.table.section(SECTION, "values", "result");
        for (Manifest.Record record : run.manifest.all(RECORD)) {
            String name = record.get("root") + "\\" + record.get("key");
            Manifest archived;
            try (InputStream in = run.archive.open(record.get("keys"))) {
                archived = Manifest.decode(in.readAllBytes());
            }
            Manifest live;
            try {
                live = walk(rootKey(record.get("root")), record.get("key"), run.control);
            } catch (Exception e) {
                run.table.row(SECTION, name, false, "", VerificationTable.MISSING + " (" + e.getMessage() + ")");
                continue;
            }
            compare(run.table, name, keysOf(archived), keysOf(live));
        }
    }

    /** Each key's values, "name", type and data, by the key's path. */
    static Map<String, Map<String, String>> keysOf(Manifest list) throws ArchiveException {
        Map<String, Map<String, String>> keys = new LinkedHashMap<>();
        for (Manifest.Record key : list.all("key")) {
            keys.put(key.get("path"), new LinkedHashMap<>());
        }
        for (Manifest.Record value : list.all("value")) {
            Map<String, String> values = keys.computeIfAbsent(value.get("key"), k -> new LinkedHashMap<>());
            values.put(value.get("name"), value.get("type") + ":" + value.get("data"));
        }
        return keys;
    }

    /** One row per key of the hive as archived, and one per key that is there now and was not. */
    static void compare(VerificationTable table, String hive, Map<String, Map<String, String>> archived,
            Map<String, Map<String, String>> live) {
        for (Map.Entry<String, Map<String, String>> key : archived.entrySet()) {
            String path = key.getKey().isEmpty() ? hive : hive + "\\" + key.getKey();
            Map<String, String> now = live.get(key.getKey());
            if (now == null) {
                table.row(SECTION, path, false, Integer.toString(key.getValue().size()), VerificationTable.MISSING);
                continue;
            }
            List<String> differing = new ArrayList<>();
            for (Map.Entry<String, String> value : key.getValue().entrySet()) {
                if (!value.getValue().equals(now.get(value.getKey()))) {
                    differing.add(value.getKey().isEmpty() ? "(default)" : value.getKey());
                }
            }
            for (String name : now.keySet()) {
                if (!key.getValue().containsKey(name)) {
                    differing.add(name.isEmpty() ? "(default)" : name);
                }
            }
            table.row(SECTION, path, differing.isEmpty(), Integer.toString(key.getValue().size()),
                    differing.isEmpty() ? VerificationTable.SAME
                            : VerificationTable.DIFFERENT + ": " + String.join(", ", differing));
        }
        for (String path : live.keySet()) {
            if (!archived.containsKey(path)) {
                table.row(SECTION, hive + "\\" + path, false, Integer.toString(live.get(path).size()),
                        "not in the archive");
            }
        }
    }
}
