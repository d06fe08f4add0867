package com.pemrix.vss;

/** A wrapper class whose construction always fails, for the bridge's own tests. */
public final class RefusingWrapper {
    public RefusingWrapper(long handle) {
        throw new IllegalStateException("refused " + handle);
    }
}
