package com.pemrix.demo.service;

/** A main class whose Stop throws after it has asked its worker to end. */
public final class ThrowingStopService {
    private ThrowingStopService() {}

    public static void main(String[] args) {
        ExampleService.main(args);
    }

    public static void Stop() {
        ExampleService.Stop();
        throw new IllegalStateException("the example application failed to stop");
    }
}
