package com.pemrix.demo.backup;

import com.pemrix.vaultcore.os.win32.Util;

/**
 * What the machine is: its names (NetBIOS, DNS host, DNS domain, fully qualified) and the product
 * type of its Windows (workstation, domain controller, server), recorded with the backup. Windows
 * keeps them in the SYSTEM hive, so they come back with it, after the restart that puts the
 * restored hives in place; a verification compares them.
 *
 * <p>Manifest record: {@code computer netbios= dns-host= dns-domain= dns-fully-qualified=
 * product-type=1|2|3}; a name the machine does not have is left out.
 */
final class MachinePart implements Part {
    static final String RECORD = "computer";
    private static final String[] FIELDS = {"netbios", "dns-host", "dns-domain", "dns-fully-qualified"};
    private static final int[] FORMATS = {Util.COMPUTER_NAME_NETBIOS, Util.COMPUTER_NAME_DNS_HOSTNAME,
        Util.COMPUTER_NAME_DNS_DOMAIN, Util.COMPUTER_NAME_DNS_FULLY_QUALIFIED};

    @Override
    public String name() {
        return "machine";
    }

    static String productType(int type) {
        switch (type) {
            case Util.VER_NT_WORKSTATION:
                return "workstation";
            case Util.VER_NT_DOMAIN_CONTROLLER:
                return "domain controller";
            case Util.VER_NT_SERVER:
                return "server";
            default:
                return "unknown (" + type + ")";
        }
    }

    /** The machine's name in one form, or null when it has none in that form. */
    private static String computerName(int format) {
        try {
            return Util.GetComputerNameEx(format);
        } catch (Exception none) {
            return null;
        }
    }

    @Override
    public void backUp(BackupRun run) {
        Util.init();
        Manifest.Record record = run.manifest.add(RECORD);
        for (int i = 0; i < FIELDS.length; i++) {
            record.put(FIELDS[i], computerName(FORMATS[i]));
        }
        int type = Util.GetProductType();
        record.put("product-type", type);
        run.log.line("machine " + record.get("netbios", "(no name)") + ", " + productType(type));
    }

    @Override
    public void restore(RestoreRun run) throws ArchiveException {
        for (Manifest.Record record : run.manifest.all(RECORD)) {
            run.log.line("the machine was " + record.get("netbios", "(no name)") + " ("
                    + productType(Integer.parseInt(record.get("product-type"))) + "); its names come back with"
                    + " the SYSTEM hive");
        }
    }

    static final String SECTION = "machine";

    @Override
    public void verify(VerifyRun run) throws ArchiveException {
        if (run.manifest.all(RECORD).isEmpty()) {
            return;
        }
        Util.init();
        run.table.section(SECTION, "archived", "now", "result");
        Manifest.Record record = run.manifest.one(RECORD);
        for (int i = 0; i < FIELDS.length; i++) {
            String was = record.get(FIELDS[i], "-");
            String now = computerName(FORMATS[i]);
            now = now == null ? "-" : now;
            row(run.table, "computer name (" + FIELDS[i] + ")", was, now);
        }
        row(run.table, "product type", productType(Integer.parseInt(record.get("product-type"))),
                productType(Util.GetProductType()));
    }

    private static void row(VerificationTable table, String item, String was, String now) {
        boolean same = was.equals(now);
        table.row(SECTION, item, same, was, now, same ? VerificationTable.SAME : VerificationTable.DIFFERENT);
    }
}
