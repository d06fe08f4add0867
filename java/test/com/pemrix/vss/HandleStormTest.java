package com.pemrix.vss;

import static com.pemrix.vss.BackupComponents.*;
import static com.pemrix.vss.VssTesting.*;
import static org.junit.jupiter.api.Assertions.*;

import com.pemrix.testsupport.MachineTool;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Handles that a faulty Java caller passes back (deleted ones, handles of another class, values that
 * never were handles) against every native of the bridge that takes one: each call ends in a
 * VssException and does nothing, the virtual machine lives on, and the live objects stay usable.
 * A reduced storm; -Dstorm.rounds=N makes it longer.
 */
class HandleStormTest {
    private static final Class<?>[] CLASSES = {BackupComponents.class, WriterMetaData.class, WMComponent.class,
        FileDescriptor.class, WriterComponents.class, Component.class, VSSFactory.class};
    private static final int ROUNDS = Integer.getInteger("storm.rounds", 40);
    private static String document;

    /** One live object of each class, by class. */
    private final Map<Class<?>, Long> live = new LinkedHashMap<>();
    private Requester backup;
    private Requester restore;

    @BeforeAll
    static void backUp() throws Exception {
        VSSFactory.init();
        declareLedgerWriter();
        try (Requester requester = new Requester()) {
            initializeForBackup(requester.h);
            setState(true, false, VSS_BT_FULL, requester.h);
            gatherWriterMetadata(requester.h);
            AddComponent(requester.h, guid(INSTANCE_ID), guid(WRITER_ID), VSS_CT_FILEGROUP, "App", "Data");
            document = SaveAsXml(requester.h);
        }
    }

    @BeforeEach
    void makeOneOfEach() throws Exception {
        backup = new Requester();
        initializeForBackup(backup.h);
        gatherWriterMetadata(backup.h);
        long metadata = getWriterMetadata(backup.h, 0).handle();
        long component = WriterMetaData.getComponent(metadata, 0).handle();
        long file = WMComponent.getFile(component, 0).handle();
        restore = new Requester();
        LoadFromXML(restore.h, document);
        long writerComponents = GetWriterComponents(restore.h, 0).handle();
        long recorded = WriterComponents.GetComponent(writerComponents, 0).handle();
        live.put(BackupComponents.class, backup.h);
        live.put(WriterMetaData.class, metadata);
        live.put(WMComponent.class, component);
        live.put(FileDescriptor.class, file);
        live.put(WriterComponents.class, writerComponents);
        live.put(Component.class, recorded);
    }

    @AfterEach
    void deleteAll() {
        List<Long> handles = new ArrayList<>(live.values());
        for (int i = handles.size() - 1; i >= 0; i--) {
            if (handles.get(i) != backup.h && handles.get(i) != restore.h) {
                VSSFactory.delete_CUnknown(handles.get(i));
            }
        }
        restore.close();
        backup.close();
        assertEquals(0, aliveObjects());
    }

    @Test
    void deletedHandlesAreRefusedAndDeletedOnlyOnce() throws Exception {
        List<Long> deleted = new ArrayList<>(live.values());
        deleteAll();
        live.clear();
        for (Method method : handleNatives()) {
            for (long handle : deleted) {
                expectRefused(method, handle);
            }
        }
        // A second deletion does nothing, whatever the handle was.
        for (long handle : deleted) {
            VSSFactory.delete_CUnknown(handle);
        }
        backup = new Requester();
        restore = new Requester();
        assertEquals(2, MachineTool.counter("vss.alive.BackupComponents"));
    }

    @Test
    void handlesOfAnotherClassAreRefusedAndTheObjectsStayUsable() throws Exception {
        for (Method method : handleNatives()) {
            if (method.getDeclaringClass() == VSSFactory.class) {
                continue;
            }
            for (Map.Entry<Class<?>, Long> other : live.entrySet()) {
                if (other.getKey() != method.getDeclaringClass()) {
                    Throwable refused = expectRefused(method, other.getValue());
                    assertTrue(refused.getMessage().endsWith(": a " + other.getKey().getSimpleName() + ", not a "
                            + method.getDeclaringClass().getSimpleName()), refused.getMessage());
                }
            }
        }
        assertEquals(WRITER_NAME, WriterMetaData.getName(live.get(WriterMetaData.class)));
        assertEquals("*.dat", FileDescriptor.getSpec(live.get(FileDescriptor.class)));
        assertEquals("Data", Component.GetComponentName(live.get(Component.class)));
        assertEquals(1, WriterComponents.GetComponentCount(live.get(WriterComponents.class)));
        assertEquals(1, getWriterMetadataCount(backup.h));
    }

    @Test
    void valuesThatNeverWereHandlesAreRefused() throws Exception {
        Random random = new Random(16);
        List<Long> values = new ArrayList<>(List.of(1L, 8L, 16L, 4096L, -1L, -16L, Long.MIN_VALUE, Long.MAX_VALUE));
        for (long handle : live.values()) {
            values.add(handle + 8);
            values.add(handle - 16);
            values.add(handle + 1);
        }
        for (Method method : handleNatives()) {
            for (long handle : values) {
                expectRefused(method, handle);
            }
            for (int round = 0; round < ROUNDS; round++) {
                long handle = random.nextLong();
                expectRefused(method, random.nextBoolean() ? handle : handle & 0x00007ffffffffff0L);
            }
        }
        assertEquals(WRITER_NAME, WriterMetaData.getName(live.get(WriterMetaData.class)));
    }

    /** Every native of the bridge that takes a handle: its first long parameter. */
    private static List<Method> handleNatives() {
        List<Method> natives = new ArrayList<>();
        for (Class<?> type : CLASSES) {
            for (Method method : type.getDeclaredMethods()) {
                if (Modifier.isNative(method.getModifiers()) && handleIndex(method) >= 0) {
                    natives.add(method);
                }
            }
        }
        assertEquals(60, natives.size(), "natives that take a handle");
        return natives;
    }

    private static int handleIndex(Method method) {
        Class<?>[] parameters = method.getParameterTypes();
        for (int i = 0; i < parameters.length; i++) {
            if (parameters[i] == long.class) {
                return i;
            }
        }
        return -1;
    }

    /** Calls a native with the handle and well-formed other arguments; what it raised, or null. */
    private static Throwable call(Method method, long handle) {
        Class<?>[] parameters = method.getParameterTypes();
        Object[] arguments = new Object[parameters.length];
        for (int i = 0; i < parameters.length; i++) {
            Class<?> type = parameters[i];
            arguments[i] = type == long.class ? (Object) handle
                    : type == int.class ? (Object) 0
                    : type == boolean.class ? (Object) false
                    : type == byte[].class ? new byte[16]
                    : type == String.class ? "C:\\" : null;
        }
        Object target = Modifier.isStatic(method.getModifiers()) ? null : new WMComponent(handle);
        try {
            method.invoke(target, arguments);
            return null;
        } catch (InvocationTargetException e) {
            return e.getCause();
        } catch (IllegalAccessException e) {
            throw new AssertionError(e);
        }
    }

    private static Throwable expectRefused(Method method, long handle) {
        Throwable raised = call(method, handle);
        String call = method.getDeclaringClass().getSimpleName() + "." + method.getName() + "(0x"
                + Long.toHexString(handle) + ")";
        if (method.getDeclaringClass() == VSSFactory.class) {
            assertNull(raised, call);
            return null;
        }
        assertNotNull(raised, call + " raised nothing");
        assertEquals(VssException.class, raised.getClass(), call);
        assertTrue(raised.getMessage().startsWith("Invalid handle 0x" + Long.toHexString(handle) + ": "),
                call + ": " + raised.getMessage());
        return raised;
    }
}
