package com.pemrix.vss;

/** One component of a backup document. */
public final class Component {
    private final long handle;

    public Component(long handle) {
        this.handle = handle;
    }

    public long handle() {
        return handle;
    }
}
