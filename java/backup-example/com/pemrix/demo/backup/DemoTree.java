package com.pemrix.demo.backup;

import com.norvane.dialup.Pallux;
import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;

/**
 * Fills a machine with what a backup of a whole machine must carry: files from empty to a few
 * MiB (one larger than the client keeps in memory), alternate streams small and large, every
 * settable attribute, security descriptors of their own on files and directories, names beyond
 * ASCII, a path longer than MAX_PATH, the files of the demo's shadow copy writer, and a directory
 * ("Users\Ada\Documents\Vault") for the encryption that the machine tool adds. Used by the
 * demo and the end-to-end tests; run on the machine named by WINSIM_ROOT:
 * {@code java -cp pallux-java.jar:qzbackup-client.jar com.pemrix.demo.backup.DemoTree [C:\root]}; with
 * {@code dial <entry>} it dials a phonebook entry instead, for a connection that is up while a
 * backup runs.
 */
public final class DemoTree {
    private static final int SE_DACL_PRESENT = 0x0004;
    private static final int SE_DACL_PROTECTED = 0x1000;
    private static final int SE_SELF_RELATIVE = 0x8000;
    private static final int FILE_ALL_ACCESS = 0x1F01FF;
    private static final int FILE_GENERIC_READ = 0x120089;

    static final String ADMINISTRATORS = "S-1-5-32-544";
    static final String USERS = "S-1-5-32-545";
    static final String GUESTS = "S-1-5-32-546";
    static final String SYSTEM = "S-1-5-18";

    private final List<String> made = new ArrayList<>();
    private final Random random = new Random(2026);

    private DemoTree() {}

    public static void main(String[] args) throws Exception {
        if (args.length == 2 && args[0].equals("dial")) {
            System.out.println(dial(args[1]));
            return;
        }
        BackupApi.init();
        for (String privilege : new String[] {"SeBackupPrivilege", "SeRestorePrivilege", "SeSecurityPrivilege"}) {
            BackupApi.setPrivilege(privilege, true);
        }
        List<String> made = populate(args.length > 0 ? args[0] : "C:\\");
        System.out.println("made " + made.size() + " files and directories");
    }

    /** Dials a phonebook entry and waits until it is connected; the connection stays up for the machine. */
    static String dial(String entry) throws InterruptedException {
        long handle = Pallux.RasDial(entry, "", "");
        if (handle <= 0) {
            throw new IllegalStateException("dialling " + entry + " failed: " + (600 - handle));
        }
        for (int i = 0; i < 200; i++) {
            int state = Pallux.RasGetConnectStatus(handle);
            if (state == Pallux.RASCS_CONNECTED) {
                return "connected to " + entry;
            }
            if (state == Pallux.RASCS_DISCONNECTED || state == Pallux.NO_CONNECTION) {
                throw new IllegalStateException("dialling " + entry + " ended in state " + state);
            }
            Thread.sleep(25);
        }
        throw new IllegalStateException("dialling " + entry + " did not connect");
    }

    /** Makes the tree below root (a drive's root or a directory); returns every path made. */
    public static List<String> populate(String root) throws IOException {
        DemoTree tree = new DemoTree();
        tree.build(WindowsPaths.trim(root));
        return tree.made;
    }

    private void build(String root) throws IOException {
        String documents = directory(root, "Users\\Ada\\Documents");
        file(documents, "empty.txt", new byte[0]);
        String letter = file(documents, "letter to Grace.txt", text("Dear Grace,\r\nthe backup works.\r\n"));
        addStream(letter, "Zone.Identifier", text("[ZoneTransfer]\r\nZoneId=3\r\n"));
        file(documents, "R\u00e9sum\u00e9 \u2013 2026.txt", text("Ada Lovelace, analyst\r\n"));
        file(documents, "\u65e5\u672c\u8a9e\u306e\u30e1\u30e2.txt", text("\u3053\u3093\u306b\u3061\u306f\r\n"));
        String photo = file(documents, "photo.jpg", bytes(3 << 20));
        BackupApi.SetFileAttributes(photo, FileAttributes.READONLY | FileAttributes.ARCHIVE);
        String video = file(documents, "holiday.mp4", bytes(9 << 20));
        addStream(video, "thumbnail", bytes(48 << 10));
        addStream(video, "rating", text("5 stars"));

        // Encrypted by the demo and the tests with the machine tool, for Ada.
        String vault = directory(documents, "Vault");
        file(vault, "accounts.xlsx", bytes(150_000));
        file(vault, "plain notes.txt", text("Not encrypted, in an encrypted directory.\r\n"));

        String secrets = directory(documents, "Private");
        writeSecurity(secrets, FileAttributes.DIRECTORY, descriptor(SE_DACL_PROTECTED, ADMINISTRATORS, SYSTEM,
                ace(0, 3, FILE_ALL_ACCESS, ADMINISTRATORS), ace(0, 3, FILE_ALL_ACCESS, SYSTEM)));
        String diary = file(secrets, "diary.txt", text("Only administrators may read this.\r\n"));
        writeSecurity(diary, FileAttributes.ARCHIVE, descriptor(SE_DACL_PROTECTED, ADMINISTRATORS, SYSTEM,
                ace(1, 0, FILE_ALL_ACCESS, GUESTS), ace(0, 0, FILE_ALL_ACCESS, ADMINISTRATORS),
                ace(0, 0, FILE_GENERIC_READ, USERS)));

        String settings = directory(root, "Users\\Ada\\AppData");
        BackupApi.SetFileAttributes(settings, FileAttributes.HIDDEN);
        String config = file(settings, "settings.ini", text("[view]\r\nzoom=150\r\n"));
        BackupApi.SetFileAttributes(config, FileAttributes.HIDDEN | FileAttributes.SYSTEM | FileAttributes.ARCHIVE);
        String cache = file(settings, "cache.tmp", bytes(70_000));
        BackupApi.SetFileAttributes(cache, FileAttributes.TEMPORARY | FileAttributes.NOT_CONTENT_INDEXED);
        String offline = file(settings, "offline.dat", bytes(1));
        BackupApi.SetFileAttributes(offline, FileAttributes.OFFLINE | FileAttributes.ARCHIVE);

        String deep = directory(root, "Data\\Projects");
        for (int level = 0; level < 6; level++) {
            deep = directory(deep, "a directory with a rather long name to pass MAX_PATH, level " + level);
        }
        file(deep, "at the end of a long path.txt", text("found me\r\n"));

        String ledger = directory(root, "Ledger");
        String data = directory(ledger, "data");
        file(data, "2026-11.dat", bytes(20_000));
        file(data, "2026-12.dat", bytes(30_000));
        file(data, "readme.txt", text("The ledger's data files.\r\n"));
        file(directory(ledger, "db"), "journal.db", bytes(64_000));
        file(directory(ledger, "logs"), "0001.log", text("opened\r\nposted 12\r\nclosed\r\n"));
    }

    private String directory(String parent, String relative) throws IOException {
        String path = parent;
        for (String name : relative.split("\\\\")) {
            path = WindowsPaths.join(path, name);
            if (!Files.isDirectory(LocalFiles.of(path))) {
                Files.createDirectories(LocalFiles.of(path));
                made.add(path);
            }
        }
        return path;
    }

    /** A new file with the data, written as a backup stream, so it has what a restore writes. */
    private String file(String directory, String name, byte[] data) throws IOException {
        String path = WindowsPaths.join(directory, name);
        writeStream(path, record(StreamRecords.BACKUP_DATA, "", data), BackupApi.CREATE_ALWAYS);
        made.add(path);
        return path;
    }

    private static void addStream(String path, String name, byte[] data) throws IOException {
        writeStream(path, record(StreamRecords.BACKUP_ALTERNATE_DATA, ":" + name + ":$DATA", data),
                BackupApi.OPEN_EXISTING);
    }

    private static void writeStream(String path, byte[] stream, int disposition) throws IOException {
        long handle = BackupApi.CreateFile(path, BackupApi.GENERIC_READ | BackupApi.GENERIC_WRITE, 0, 0, disposition,
                BackupApi.FILE_FLAG_BACKUP_SEMANTICS, 0);
        int[] context = new int[2];
        try {
            BackupApi.BackupWrite(context, handle, stream, 0, stream.length, false, false);
        } finally {
            BackupApi.BackupWrite(context, handle, stream, 0, 0, true, false);
        }
    }

    static byte[] record(int id, String name, byte[] data) {
        byte[] nameBytes = name.getBytes(StandardCharsets.UTF_16LE);
        ByteBuffer out = ByteBuffer.allocate(20 + nameBytes.length + data.length).order(ByteOrder.LITTLE_ENDIAN);
        out.putInt(id).putInt(0).putLong(data.length).putInt(nameBytes.length).put(nameBytes).put(data);
        return out.array();
    }

    private static void writeSecurity(String path, int attributes, byte[] descriptor) throws IOException {
        ByteBuffer record = ByteBuffer.allocate(4 + descriptor.length).order(ByteOrder.LITTLE_ENDIAN);
        record.putInt(attributes).put(descriptor);
        BackupApi.writeSecurityDescriptor(path, record.array(), 0, record.capacity());
    }

    private static byte[] text(String text) {
        return text.getBytes(StandardCharsets.UTF_8);
    }

    private byte[] bytes(int count) {
        byte[] data = new byte[count];
        random.nextBytes(data);
        return data;
    }

    // ---- security descriptors in their self-relative form ----

    static byte[] sid(String text) {
        String[] parts = text.split("-");
        int subCount = parts.length - 3;
        ByteBuffer out = ByteBuffer.allocate(8 + 4 * subCount).order(ByteOrder.LITTLE_ENDIAN);
        out.put((byte) 1).put((byte) subCount);
        long authority = Long.parseLong(parts[2]);
        for (int i = 5; i >= 0; i--) {
            out.put((byte) (authority >>> (8 * i)));
        }
        for (int i = 0; i < subCount; i++) {
            out.putInt((int) Long.parseLong(parts[3 + i]));
        }
        return out.array();
    }

    /** An access-allowed (type 0) or access-denied (type 1) entry. */
    static byte[] ace(int type, int flags, int mask, String sid) {
        byte[] sidBytes = sid(sid);
        ByteBuffer out = ByteBuffer.allocate(8 + sidBytes.length).order(ByteOrder.LITTLE_ENDIAN);
        out.put((byte) type).put((byte) flags).putShort((short) (8 + sidBytes.length)).putInt(mask).put(sidBytes);
        return out.array();
    }

    static byte[] descriptor(int control, String owner, String group, byte[]... aces) {
        ByteArrayOutputStream acl = new ByteArrayOutputStream();
        int aclSize = 8;
        for (byte[] ace : aces) {
            aclSize += ace.length;
        }
        ByteBuffer header = ByteBuffer.allocate(8).order(ByteOrder.LITTLE_ENDIAN);
        header.put((byte) 2).put((byte) 0).putShort((short) aclSize).putShort((short) aces.length).putShort((short) 0);
        acl.writeBytes(header.array());
        for (byte[] ace : aces) {
            acl.writeBytes(ace);
        }
        byte[] ownerSid = sid(owner);
        byte[] groupSid = sid(group);
        ByteBuffer out = ByteBuffer.allocate(20 + aclSize + ownerSid.length + groupSid.length)
                .order(ByteOrder.LITTLE_ENDIAN);
        out.put((byte) 1).put((byte) 0).putShort((short) (SE_SELF_RELATIVE | SE_DACL_PRESENT | control));
        out.putInt(20 + aclSize).putInt(20 + aclSize + ownerSid.length).putInt(0).putInt(20);
        out.put(acl.toByteArray()).put(ownerSid).put(groupSid);
        return out.array();
    }
}
