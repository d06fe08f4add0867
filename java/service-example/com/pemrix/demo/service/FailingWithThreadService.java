package com.pemrix.demo.service;

/**
 * A main class whose main starts a non-daemon thread that never ends and then fails: the
 * virtual machine cannot be destroyed, since destruction would wait for that thread.
 */
public final class FailingWithThreadService {
    private FailingWithThreadService() {}

    public static void main(String[] args) {
        ServiceEvents.recordStart(FailingWithThreadService.class.getName(), args);
        Thread worker = new Thread(() -> {
            ServiceEvents.record("worker started");
            try {
                Thread.sleep(Long.MAX_VALUE);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "endless-worker");
        worker.start();
        throw new IllegalStateException("the example application failed after starting a thread");
    }
}
