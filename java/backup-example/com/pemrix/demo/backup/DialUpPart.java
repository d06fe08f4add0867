package com.pemrix.demo.backup;

import com.norvane.dialup.Pallux;
import com.norvane.dialup.WinRasEntry;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Dial-up networking: the entries of the phonebooks and the connections that were up while the
 * backup ran, recorded with it. The phonebooks are files and come back with the files; a
 * connection is not something a restore can bring back (it would dial), so the verification
 * compares the phonebook's entries and lists the connections as they were.
 *
 * <p>Manifest records: {@code dialup-entry name=}, {@code dialup-connection entry= handle=}.
 */
final class DialUpPart implements Part {
    static final String ENTRY = "dialup-entry";
    static final String CONNECTION = "dialup-connection";

    @Override
    public String name() {
        return "dial-up connections";
    }

    /** The names of the phonebooks' entries; null when the system cannot list them. */
    static List<String> entries() {
        String[] entries = Pallux.RasEnumEntries();
        return entries == null ? null : Arrays.asList(entries);
    }

    @Override
    public void backUp(BackupRun run) {
        List<String> entries = entries();
        if (entries == null) {
            run.log.line("dial-up: no remote access service to ask, or more phonebook entries than it lists");
            return;
        }
        for (String entry : entries) {
            run.manifest.add(ENTRY).put("name", entry);
        }
        WinRasEntry[] connections = Pallux.RasEnumConnections();
        List<String> up = new ArrayList<>();
        if (connections != null) {
            for (WinRasEntry connection : connections) {
                run.manifest.add(CONNECTION).put("entry", connection.name)
                        .put("handle", "0x" + Long.toHexString(connection.handle));
                up.add(connection.name);
            }
        }
        run.log.line("dial-up: " + entries.size() + " phonebook entries, " + (up.isEmpty() ? "no connection up"
                : "connected: " + String.join(", ", up)));
    }

    @Override
    public void restore(RestoreRun run) throws ArchiveException {
        List<String> up = new ArrayList<>();
        for (Manifest.Record connection : run.manifest.all(CONNECTION)) {
            up.add(connection.get("entry"));
        }
        if (!up.isEmpty()) {
            run.log.line("dial-up connections up at the backup (not dialled by a restore): " + String.join(", ", up));
        }
    }

    static final String SECTION = "dial-up";

    @Override
    public void verify(VerifyRun run) throws ArchiveException {
        List<Manifest.Record> archived = run.manifest.all(ENTRY);
        List<Manifest.Record> connections = run.manifest.all(CONNECTION);
        if (archived.isEmpty() && connections.isEmpty()) {
            return;
        }
        run.table.section(SECTION, "at the backup", "now");
        List<String> now = entries();
        for (Manifest.Record entry : archived) {
            boolean present = now != null && now.contains(entry.get("name"));
            run.table.row(SECTION, "phonebook entry " + entry.get("name"), present, "entry",
                    present ? VerificationTable.SAME : VerificationTable.MISSING);
        }
        for (Manifest.Record connection : connections) {
            run.table.row(SECTION, "connection " + connection.get("entry"), true, "connected", "recorded");
        }
    }
}
