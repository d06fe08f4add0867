package com.pemrix.demo.service;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * The example application that the service host runs: main starts a worker thread and returns;
 * Stop asks the worker to end.
 */
public final class ExampleService {
    private static final CountDownLatch stopRequested = new CountDownLatch(1);

    private ExampleService() {}

    public static void main(String[] args) {
        ServiceEvents.recordStart(ExampleService.class.getName(), args);
        Thread worker = new Thread(ExampleService::work, "example-worker");
        worker.start();
        ServiceEvents.record("main returned");
    }

    public static void Stop() {
        ServiceEvents.record("Stop thread=" + ServiceEvents.currentThread());
        stopRequested.countDown();
    }

    private static void work() {
        ServiceEvents.record("worker started");
        try {
            int beats = 0;
            while (!stopRequested.await(200, TimeUnit.MILLISECONDS)) {
                if (++beats % 25 == 0) {
                    ServiceEvents.record("worker running");
                }
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        ServiceEvents.record("worker stopped");
    }
}
