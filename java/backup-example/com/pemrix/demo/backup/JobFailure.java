package com.pemrix.demo.backup;

/** A run that cannot go on; its message is what the person reading the job's status sees. */
final class JobFailure extends Exception {
    private static final long serialVersionUID = 1L;

    JobFailure(String message) {
        super(message);
    }

    JobFailure(String message, Throwable cause) {
        super(message, cause);
    }
}
