package com.pemrix.vaultcore.os.win32;

/**
 * One registry value: its name (the empty string names the key's default value) and type
 * (1 string, 2 string with environment references, 3 binary, 4 32-bit number, 7 multi-string,
 * others as Windows defines them). The natives fill the field that the type uses and leave the
 * others as they were: {@code stringValue} for types 1 and 2, {@code byteArray} for type 3,
 * {@code stringArray} for type 7, {@code dwordVal} for every other type.
 */
public final class RegValue {
    public String name;
    public int type;
    public int dwordVal;
    public String[] stringArray;
    public String stringValue;
    public byte[] byteArray;
}
