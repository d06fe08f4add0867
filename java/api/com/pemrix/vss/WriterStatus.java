package com.pemrix.vss;

/** One writer's state after a gather of writer status. */
public final class WriterStatus {
    /** failureCode values: the writer's failure, if any. */
    public static final int NO_FAILURE = 0;
    public static final int INCONSISTENT_SNAPSHOT = 1;
    public static final int OUT_OF_RESOURCES = 2;
    public static final int TIMEOUT = 3;
    public static final int RETRYABLE = 4;
    public static final int NON_RETRYABLE = 5;
    public static final int NOT_RESPONDING = 6;
    public static final int OTHER = 7;

    public final byte[] instanceId;
    public final byte[] writerId;
    public final String name;
    public final int state;
    public final int failureCode;

    public WriterStatus(byte[] instanceId, byte[] writerId, String name, int state, int failureCode) {
        this.instanceId = instanceId;
        this.writerId = writerId;
        this.name = name;
        this.state = state;
        this.failureCode = failureCode;
    }
}
