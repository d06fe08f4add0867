package com.pemrix.demo.service;

/** The example application behind a Stop that never returns: the service never stops. */
public final class HangingStopService {
    private HangingStopService() {}

    public static void main(String[] args) {
        ExampleService.main(args);
    }

    public static void Stop() throws InterruptedException {
        ServiceEvents.record("Stop hangs");
        Thread.sleep(Long.MAX_VALUE);
    }
}
