package com.pemrix.demo.backup;

/** An archive that cannot be used: damaged, cut short, or not one of this client's. */
final class ArchiveException extends Exception {
    private static final long serialVersionUID = 1L;

    ArchiveException(String message) {
        super(message);
    }

    ArchiveException(String message, Throwable cause) {
        super(message, cause);
    }
}
