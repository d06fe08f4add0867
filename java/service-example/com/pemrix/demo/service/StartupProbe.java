package com.pemrix.demo.service;

/**
 * Prints the monotonic clock (the one System.nanoTime reads on Linux) as soon as main runs, so
 * a benchmark can measure the start-up from process creation to the Java main.
 */
public final class StartupProbe {
    private StartupProbe() {}

    public static void main(String[] args) {
        System.out.println("main-entered " + System.nanoTime());
        System.out.flush();
    }
}
