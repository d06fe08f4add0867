package com.pemrix.vss;

/** How a writer wants its components restored. */
public final class VssRestoreInfo {
    public final int method;
    public final String service;
    public final int writerRestore;
    public final boolean rebootRequired;
    public final String userProcedure;
    public final int mappings;

    public VssRestoreInfo(int method, String service, int writerRestore, boolean rebootRequired,
            String userProcedure, int mappings) {
        this.method = method;
        this.service = service;
        this.writerRestore = writerRestore;
        this.rebootRequired = rebootRequired;
        this.userProcedure = userProcedure;
        this.mappings = mappings;
    }
}
