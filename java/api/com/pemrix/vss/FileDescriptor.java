package com.pemrix.vss;

/** One set of files of a component: a directory, a file pattern and recursion. */
public final class FileDescriptor {
    private final long handle;

    public FileDescriptor(long handle) {
        this.handle = handle;
    }

    public long handle() {
        return handle;
    }

    /** The directory, with environment variables expanded. */
    public static native String getPath(long h) throws VssException;

    public static native String getSpec(long h) throws VssException;

    public static native boolean getRecursive(long h);
}
