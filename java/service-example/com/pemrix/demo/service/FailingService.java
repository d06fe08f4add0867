package com.pemrix.demo.service;

/** A main class whose main fails: the service host must report that the start failed. */
public final class FailingService {
    private FailingService() {}

    public static void main(String[] args) {
        ServiceEvents.recordStart(FailingService.class.getName(), args);
        throw new IllegalStateException("the example application failed to start");
    }

    public static void Stop() {
        ServiceEvents.record("Stop thread=" + ServiceEvents.currentThread());
    }
}
