package com.pemrix.demo.service;

/**
 * A main class without Stop: its non-daemon worker ends by itself after a while, and the
 * destruction of the virtual machine waits for it.
 */
public final class NoStopService {
    static final long WORK_MILLIS = 1500;

    private NoStopService() {}

    public static void main(String[] args) {
        ServiceEvents.recordStart(NoStopService.class.getName(), args);
        Thread worker = new Thread(() -> {
            ServiceEvents.record("worker started");
            try {
                Thread.sleep(WORK_MILLIS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            ServiceEvents.record("worker finished");
        }, "no-stop-worker");
        worker.start();
        ServiceEvents.record("main returned");
    }
}
