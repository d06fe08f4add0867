package com.pemrix.demo.service;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;

/**
 * What the example application did, one line per event, appended to "service-events.txt" in
 * the working directory that the service host gave it (UTF-8, whatever the default charset).
 */
final class ServiceEvents {
    static final String FILE_NAME = "service-events.txt";

    private ServiceEvents() {}

    static synchronized void record(String line) {
        Path file = Paths.get(System.getProperty("user.dir"), FILE_NAME);
        try {
            Files.write(file, (line + "\n").getBytes(StandardCharsets.UTF_8),
                    StandardOpenOption.CREATE, StandardOpenOption.APPEND);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    static String currentThread() {
        Thread thread = Thread.currentThread();
        return thread.getId() + "/" + thread.getName();
    }

    /** The start-up as the application sees it: thread, arguments and the options it was given. */
    static void recordStart(String className, String[] args) {
        record("main " + className + " thread=" + currentThread());
        record("args " + args.length);
        for (int i = 0; i < args.length; i++) {
            record("arg " + i + " " + args[i]);
        }
        record("property java.class.path=" + System.getProperty("java.class.path"));
        record("property java.library.path=" + System.getProperty("java.library.path"));
        record("property sun.net.inetaddr.ttl=" + System.getProperty("sun.net.inetaddr.ttl"));
        record("property user.dir=" + System.getProperty("user.dir"));
        for (String option : ManagementFactory.getRuntimeMXBean().getInputArguments()) {
            record("jvm-option " + option);
        }
    }
}
