package com.pemrix.demo.backup;

import com.pemrix.system.Internet;

/**
 * The machine's proxy settings as the service sees them (the proxy list and the list of hosts
 * reached without it; none for a direct connection), recorded with the backup. Windows keeps them
 * in the user's registry hive, which for the service is HKU\.DEFAULT, so they come back with the
 * hives after the restart; a verification compares them.
 *
 * <p>Manifest record: {@code proxy servers= bypass=}, a field left out when there is none.
 */
final class ProxyPart implements Part {
    static final String RECORD = "proxy";
    static final String SECTION = "proxy";

    @Override
    public String name() {
        return "proxy settings";
    }

    @Override
    public void backUp(BackupRun run) {
        String servers = Internet.queryProxyServers();
        String bypass = Internet.queryProxyBypass();
        run.manifest.add(RECORD).put("servers", servers).put("bypass", bypass);
        run.log.line("proxy: " + (servers == null ? "direct connection" : servers
                + (bypass == null ? "" : ", not for " + bypass)));
    }

    @Override
    public void restore(RestoreRun run) {
        // The settings are values of the user's hive; they return with it.
    }

    @Override
    public void verify(VerifyRun run) throws ArchiveException {
        if (run.manifest.all(RECORD).isEmpty()) {
            return;
        }
        Manifest.Record record = run.manifest.one(RECORD);
        run.table.section(SECTION, "archived", "now", "result");
        row(run.table, "proxy servers", record.get("servers", "-"), orNone(Internet.queryProxyServers()));
        row(run.table, "proxy bypass", record.get("bypass", "-"), orNone(Internet.queryProxyBypass()));
    }

    private static String orNone(String value) {
        return value == null ? "-" : value;
    }

    private static void row(VerificationTable table, String item, String was, String now) {
        boolean same = was.equals(now);
        table.row(SECTION, item, same, was, now, same ? VerificationTable.SAME : VerificationTable.DIFFERENT);
    }
}
