package com.pemrix.demo.backup;

/** Lets the service stop a run: the run looks at the flag between pieces of work. */
final class JobControl {
    /** Raised inside a run at the first checkpoint after a stop was asked for. */
    static final class Cancelled extends RuntimeException {
        private static final long serialVersionUID = 1L;

        Cancelled() {
            super("stopped by the service");
        }
    }

    private volatile boolean cancelled;

    void cancel() {
        cancelled = true;
    }

    boolean isCancelled() {
        return cancelled;
    }

    /** Returns when the run may go on; raises {@link Cancelled} when it must end. */
    void checkpoint() {
        if (cancelled) {
            throw new Cancelled();
        }
    }

    /** Sleeps up to millis, in short steps so that a stop is seen at once. */
    void pause(long millis) {
        long end = System.nanoTime() + millis * 1_000_000L;
        for (long left = millis; left > 0; left = (end - System.nanoTime()) / 1_000_000L) {
            checkpoint();
            try {
                Thread.sleep(Math.min(left, 50));
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new Cancelled();
            }
        }
        checkpoint();
    }
}
