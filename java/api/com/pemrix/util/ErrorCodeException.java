package com.pemrix.util;

import java.io.IOException;

/** A failure of an operating-system call, carrying the system's error code with its text. */
public class ErrorCodeException extends IOException {
    private static final long serialVersionUID = 1L;

    private final int errorCode;

    public ErrorCodeException(String message, int errorCode) {
        super(message);
        this.errorCode = errorCode;
    }

    public int getErrorCode() {
        return errorCode;
    }
}
