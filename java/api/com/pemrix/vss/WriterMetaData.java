package com.pemrix.vss;

/** One writer's metadata document: its identity, components and restore method. */
public final class WriterMetaData {
    private final long handle;

    public WriterMetaData(long handle) {
        this.handle = handle;
    }

    public long handle() {
        return handle;
    }
}
