package com.pemrix.system;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CyclicBarrier;

/**
 * Run in a virtual machine of its own by InternetTest, so that its calls are the process's first:
 * "sequence" makes three calls of each native in turn; "threads" has eight threads make their
 * first call at once. It prints one result per line.
 */
public final class InternetProbe {
    private InternetProbe() {}

    public static void main(String[] args) throws Exception {
        if (args[0].equals("sequence")) {
            for (int i = 0; i < 3; i++) {
                System.out.println(Internet.queryProxyServers());
                System.out.println(Internet.queryProxyBypass());
                System.out.println(Internet.queryStringValue(Internet.INTERNET_OPTION_MAX_CONNS_PER_SERVER));
            }
            return;
        }
        CyclicBarrier start = new CyclicBarrier(8);
        List<String> results = new ArrayList<>();
        List<Thread> threads = new ArrayList<>();
        for (int i = 0; i < 8; i++) {
            Thread thread = new Thread(() -> {
                try {
                    start.await();
                    String servers = Internet.queryProxyServers();
                    synchronized (results) {
                        results.add(servers);
                    }
                } catch (Exception e) {
                    throw new IllegalStateException(e);
                }
            });
            thread.start();
            threads.add(thread);
        }
        for (Thread thread : threads) {
            thread.join();
        }
        results.forEach(System.out::println);
    }
}
