package com.pemrix.vss;

/** One file specification of a component: a directory, a file pattern and recursion. */
public final class FileDescriptor {
    private final long handle;

    public FileDescriptor(long handle) {
        this.handle = handle;
    }

    public long handle() {
        return handle;
    }
}
