package com.pemrix.testsupport;

import java.io.ByteArrayOutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;

/** Builds self-relative security descriptors for tests. */
public final class SecurityDescriptors {
    public static final int SE_DACL_PRESENT = 0x0004;
    public static final int SE_DACL_PROTECTED = 0x1000;
    public static final int SE_SELF_RELATIVE = 0x8000;

    private SecurityDescriptors() {}

    /** A SID from its string form, such as S-1-5-32-544. */
    public static byte[] sid(String text) {
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

    /** An access-allowed (type 0) or access-denied (type 1) ACE. */
    public static byte[] ace(int type, int flags, int mask, byte[] sid) {
        ByteBuffer out = ByteBuffer.allocate(8 + sid.length).order(ByteOrder.LITTLE_ENDIAN);
        out.put((byte) type).put((byte) flags).putShort((short) (8 + sid.length)).putInt(mask).put(sid);
        return out.array();
    }

    public static byte[] acl(byte[]... aces) {
        int size = 8;
        for (byte[] ace : aces) {
            size += ace.length;
        }
        ByteBuffer out = ByteBuffer.allocate(size).order(ByteOrder.LITTLE_ENDIAN);
        out.put((byte) 2).put((byte) 0).putShort((short) size).putShort((short) aces.length).putShort((short) 0);
        for (byte[] ace : aces) {
            out.put(ace);
        }
        return out.array();
    }

    /** A self-relative descriptor with owner, group and DACL, laid out as Windows lays it out. */
    public static byte[] descriptor(int extraControl, byte[] owner, byte[] group, byte[] dacl) {
        ByteArrayOutputStream body = new ByteArrayOutputStream();
        int daclOffset = 20;
        body.writeBytes(dacl);
        int ownerOffset = 20 + body.size();
        body.writeBytes(owner);
        int groupOffset = 20 + body.size();
        body.writeBytes(group);
        ByteBuffer out = ByteBuffer.allocate(20 + body.size()).order(ByteOrder.LITTLE_ENDIAN);
        out.put((byte) 1).put((byte) 0).putShort((short) (SE_SELF_RELATIVE | SE_DACL_PRESENT | extraControl));
        out.putInt(ownerOffset).putInt(groupOffset).putInt(0).putInt(daclOffset);
        out.put(body.toByteArray());
        return out.array();
    }
}
