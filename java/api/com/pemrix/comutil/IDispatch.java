package com.pemrix.comutil;

/**
 * One automation object: calls its members by name.
 *
 * <p>The handle is released exactly once, with {@link #release(long)}, and not used afterwards.
 */
public class IDispatch {
    /** Invocation types of {@link #invoke(long, String, Object[], int)}. */
    public static final int METHOD = 0;
    public static final int PROPERTYPUT = 1;
    public static final int PROPERTYGET = 2;

    static {
        System.loadLibrary("pallux");
    }

    private final long handle;

    public IDispatch(long handle) {
        this.handle = handle;
    }

    public long handle() {
        return handle;
    }

    /** Calls a method with String and Integer arguments; returns its result converted. */
    public Object call(String method, Object... arguments) throws Exception {
        return invoke(handle, method, arguments, METHOD);
    }

    public Object get(String property, Object... arguments) throws Exception {
        return invoke(handle, property, arguments, PROPERTYGET);
    }

    /** Writes a property; the value is the last argument. */
    public void put(String property, Object... argumentsThenValue) throws Exception {
        invoke(handle, property, argumentsThenValue, PROPERTYPUT);
    }

    /** Calls a member; the arguments (String or Integer) may be null for none. */
    public static native Object invoke(long handle, String name, Object[] arguments, int type) throws Exception;

    /** Calls a method without arguments, discarding its result. */
    public static native void invokeVoid(long handle, String name) throws Exception;

    /** Releases the object behind the handle. */
    public static native void release(long handle);
}
