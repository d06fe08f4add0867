package com.pemrix.demo.service;

/** The example application behind a Stop that takes a few seconds to return. */
public final class SlowStopService {
    static final long STOP_MILLIS = 2500;

    private SlowStopService() {}

    public static void main(String[] args) {
        ExampleService.main(args);
    }

    public static void Stop() throws InterruptedException {
        Thread.sleep(STOP_MILLIS);
        ExampleService.Stop();
    }
}
