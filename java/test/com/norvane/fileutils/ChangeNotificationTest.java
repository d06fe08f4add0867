package com.norvane.fileutils;

import static com.norvane.fileutils.Win32FileNatives.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.Machine;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** Change notification handles: each filter, subtrees, re-arming, waits and closed handles. */
class ChangeNotificationTest {
    interface Change {
        void make() throws Exception;
    }

    /**
     * Whether a change signals a new handle with the filter. A change made after it in another
     * directory tells when it has been seen: one thread reads every change of the process in order.
     */
    private static boolean signals(String dir, int filter, boolean subtree, Change change) throws Exception {
        String sentinelDirectory = Machine.freshDirectory("sentinel");
        long handle = nativeFindFirstChangeNotification(dir, subtree, filter);
        long sentinel = nativeFindFirstChangeNotification(sentinelDirectory, false, FILE_NOTIFY_CHANGE_FILE_NAME);
        assertNotEquals(INVALID_HANDLE_VALUE, handle);
        assertNotEquals(INVALID_HANDLE_VALUE, sentinel);
        try {
            assertEquals(WAIT_TIMEOUT, nativeWaitForSingleObject(handle, 0));
            change.make();
            Files.writeString(Machine.host(sentinelDirectory).resolve("after"), "");
            assertEquals(WAIT_OBJECT_0, nativeWaitForSingleObject(sentinel, 10_000), "the change was never seen");
            return nativeWaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        } finally {
            assertNotEquals(0, nativeFindCloseChangeNotification(handle));
            assertNotEquals(0, nativeFindCloseChangeNotification(sentinel));
        }
    }

    @Test
    void eachFilterBitAndWhatItIgnores() throws Exception {
        String dir = Machine.freshDirectory("filters");
        Path host = Machine.host(dir);
        Path file = host.resolve("f.txt");
        Files.writeString(file, "1");

        assertTrue(signals(dir, FILE_NOTIFY_CHANGE_FILE_NAME, false, () -> Files.writeString(host.resolve("n"), "")));
        assertFalse(signals(dir, FILE_NOTIFY_CHANGE_FILE_NAME, false, () -> Files.createDirectory(host.resolve("d"))));
        assertTrue(signals(dir, FILE_NOTIFY_CHANGE_DIR_NAME, false, () -> Files.delete(host.resolve("d"))));
        assertFalse(signals(dir, FILE_NOTIFY_CHANGE_DIR_NAME, false, () -> Files.delete(host.resolve("n"))));
        assertTrue(signals(dir, FILE_NOTIFY_CHANGE_SIZE, false, () -> Files.writeString(file, "12345")));
        assertTrue(signals(dir, FILE_NOTIFY_CHANGE_LAST_WRITE, false, () -> Files.writeString(file, "123")));
        assertFalse(signals(dir, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME, false,
                () -> Files.writeString(file, "1234")));
        assertTrue(signals(dir, FILE_NOTIFY_CHANGE_LAST_ACCESS, false, () -> Files.readAllBytes(file)));
        // Metadata kept in extended attributes: DOS attributes, the security descriptor.
        assertTrue(signals(dir, FILE_NOTIFY_CHANGE_ATTRIBUTES, false,
                () -> Files.setAttribute(file, "user:DOSATTRIB", "0x2\0".getBytes("US-ASCII"))));
        assertTrue(signals(dir, FILE_NOTIFY_CHANGE_SECURITY, false,
                () -> Files.setAttribute(file, "user:NTACL", new byte[] {1, 0})));
        assertTrue(signals(dir, FILE_NOTIFY_CHANGE_CREATION, false,
                () -> Files.setLastModifiedTime(file, FileTime.fromMillis(1_000_000_000L))));
    }

    @Test
    void aSubtreeIncludesDirectoriesCreatedAfterTheWatchBegan() throws Exception {
        String dir = Machine.freshDirectory("subtree");
        Path host = Machine.host(dir);
        long handle = nativeFindFirstChangeNotification(dir, true, FILE_NOTIFY_CHANGE_FILE_NAME);
        long top = nativeFindFirstChangeNotification(dir, false, FILE_NOTIFY_CHANGE_FILE_NAME);
        Files.createDirectories(host.resolve("later").resolve("deeper"));
        Files.writeString(host.resolve("later").resolve("deeper").resolve("file.txt"), "x");
        assertEquals(WAIT_OBJECT_0, nativeWaitForSingleObject(handle, 10_000));
        assertEquals(WAIT_TIMEOUT, nativeWaitForSingleObject(top, 0), "not in the top directory");
        nativeFindCloseChangeNotification(handle);
        nativeFindCloseChangeNotification(top);
    }

    @Test
    void signalledUntilReArmedAndAgainForChangesMeanwhile() throws Exception {
        String dir = Machine.freshDirectory("rearm");
        Path host = Machine.host(dir);
        long handle = nativeFindFirstChangeNotification(dir, false, FILE_NOTIFY_CHANGE_FILE_NAME);
        assertEquals(WAIT_TIMEOUT, nativeWaitForSingleObject(handle, 0));
        Files.writeString(host.resolve("1"), "");
        assertEquals(WAIT_OBJECT_0, nativeWaitForSingleObject(handle, 10_000));
        assertEquals(WAIT_OBJECT_0, nativeWaitForSingleObject(handle, 0), "a wait does not re-arm");
        assertNotEquals(0, nativeFindNextChangeNotification(handle));
        assertEquals(WAIT_TIMEOUT, nativeWaitForSingleObject(handle, 0));

        Files.writeString(host.resolve("2"), "");
        assertEquals(WAIT_OBJECT_0, nativeWaitForSingleObject(handle, 10_000));
        long witness = nativeFindFirstChangeNotification(dir, false, FILE_NOTIFY_CHANGE_FILE_NAME);
        Files.writeString(host.resolve("3"), "");
        assertEquals(WAIT_OBJECT_0, nativeWaitForSingleObject(witness, 10_000));
        assertNotEquals(0, nativeFindNextChangeNotification(handle));
        assertEquals(WAIT_OBJECT_0, nativeWaitForSingleObject(handle, 0), "the change while signalled");
        nativeFindCloseChangeNotification(witness);
        nativeFindCloseChangeNotification(handle);
    }

    @Test
    void aWaitIsReleasedByAChangeFromAnotherThread() throws Exception {
        String dir = Machine.freshDirectory("thread");
        long handle = nativeFindFirstChangeNotification(dir, true, FILE_NOTIFY_CHANGE_FILE_NAME);
        CompletableFuture<Long> waiter = CompletableFuture.supplyAsync(() -> nativeWaitForSingleObject(handle, INFINITE));
        Thread.sleep(50);
        assertFalse(waiter.isDone());
        Files.writeString(Machine.host(dir).resolve("from-this-thread"), "x");
        assertEquals(WAIT_OBJECT_0, waiter.get(10, TimeUnit.SECONDS));
        nativeFindCloseChangeNotification(handle);
    }

    @Test
    void closedHandlesAndFailures() throws Exception {
        String dir = Machine.freshDirectory("closed");
        long handle = nativeFindFirstChangeNotification(dir, false, FILE_NOTIFY_CHANGE_FILE_NAME);
        assertNotEquals(0, nativeFindCloseChangeNotification(handle));
        assertEquals(4294967295L, nativeWaitForSingleObject(handle, 0));
        assertEquals(WAIT_FAILED, nativeWaitForSingleObject(handle, INFINITE));
        assertEquals(0, nativeFindNextChangeNotification(handle));
        assertEquals(0, nativeFindCloseChangeNotification(handle));

        assertEquals(INVALID_HANDLE_VALUE, nativeFindFirstChangeNotification(dir + "\\missing", false,
                FILE_NOTIFY_CHANGE_FILE_NAME));
        Files.writeString(Machine.host(dir).resolve("file"), "");
        assertEquals(INVALID_HANDLE_VALUE, nativeFindFirstChangeNotification(dir + "\\file", false,
                FILE_NOTIFY_CHANGE_FILE_NAME));
        assertEquals(INVALID_HANDLE_VALUE, nativeFindFirstChangeNotification(dir, false, 0));
        assertEquals("", assertThrows(NullPointerException.class,
                () -> nativeFindFirstChangeNotification(null, false, FILE_NOTIFY_CHANGE_FILE_NAME)).getMessage());
    }
}
