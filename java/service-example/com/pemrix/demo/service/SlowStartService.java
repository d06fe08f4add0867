package com.pemrix.demo.service;

/** The example application behind a main that takes a few seconds before it returns. */
public final class SlowStartService {
    static final long START_MILLIS = 4000;

    private SlowStartService() {}

    public static void main(String[] args) throws InterruptedException {
        ServiceEvents.record("slow start begins");
        Thread.sleep(START_MILLIS);
        ExampleService.main(args);
    }

    public static void Stop() {
        ExampleService.Stop();
    }
}
