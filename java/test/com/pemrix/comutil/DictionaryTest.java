package com.pemrix.comutil;

import static org.junit.jupiter.api.Assertions.*;

import org.junit.jupiter.api.Test;

/** The machine's dictionary object driven from Java. */
class DictionaryTest extends AutomationTesting {
    @Test
    void itemsAreAddedReadWrittenCountedAndListed() throws Exception {
        IDispatch dictionary = create(DICTIONARY);
        assertNull(dictionary.call("Add", "b", "bee"));
        dictionary.call("Add", "a", "ant");
        assertEquals("bee", dictionary.get("Item", "b"));
        dictionary.put("Item", "b", "bear");
        assertEquals("bear", dictionary.get("Item", "b"));
        assertEquals(2, dictionary.get("Count"));
        assertEquals(Boolean.TRUE, dictionary.call("Exists", "a"));
        assertEquals(Boolean.FALSE, dictionary.call("Exists", "A"));
        assertArrayEquals(new String[] {"b", "a"}, (String[]) dictionary.call("Keys"));
        assertArrayEquals(new String[] {"bear", "ant"}, (String[]) dictionary.call("Items"));
        dictionary.put("Key", "a", "ape");
        assertArrayEquals(new String[] {"b", "ape"}, (String[]) dictionary.call("Keys"));
        dictionary.call("Remove", "b");
        assertArrayEquals(new String[] {"ant"}, (String[]) dictionary.call("Items"));
    }

    @Test
    void emptyDictionaryListsNothingAndMissingItemsAreAddedEmpty() throws Exception {
        IDispatch dictionary = create(DICTIONARY);
        assertNull(dictionary.call("Keys"));
        assertNull(dictionary.call("Items"));
        assertNull(dictionary.get("Item", "missing"));
        assertEquals(1, dictionary.get("Count"));
        dictionary.call("RemoveAll");
        assertEquals(0, dictionary.get("Count"));
    }

    @Test
    void errorsAreTheDictionarysOwn() throws Exception {
        IDispatch dictionary = create(DICTIONARY);
        dictionary.call("Add", "a", "first");
        assertEquals("Exception raised by com object", failure(() -> dictionary.call("Add", "a", "again")).getMessage());
        assertEquals("Exception raised by com object", failure(() -> dictionary.call("Remove", "zzz")).getMessage());
        // Integer arguments arrive as VT_INT, which a dictionary refuses as a key but keeps as
        // an item; an item of that type cannot be returned.
        assertEquals("Exception raised by com object", failure(() -> dictionary.call("Add", 1, "one")).getMessage());
        assertEquals(Boolean.FALSE, dictionary.call("Exists", 1));
        dictionary.call("Add", "n", 5);
        assertEquals("unsupported return variant", failure(() -> dictionary.get("Item", "n")).getMessage());
        // Members are invoked only as what they are.
        assertEquals("The requested member does not exist", failure(() -> dictionary.call("Count")).getMessage());
        assertEquals("The requested member does not exist", failure(() -> dictionary.get("Keys")).getMessage());
        assertEquals("Incorrect method arguments", failure(() -> dictionary.call("Add", "only")).getMessage());
        assertEquals(2, dictionary.get("Count"));
    }
}
