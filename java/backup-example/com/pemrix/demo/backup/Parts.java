package com.pemrix.demo.backup;

import java.util.List;

/** The parts a backup is made of, in the order they are taken and put back. */
final class Parts {
    private Parts() {}

    static List<Part> standard() {
        return List.of(
                new FilesPart(new Win32DirectoryLister(), new EncryptedFiles()),
                new RegistryPart(),
                new MachinePart(),
                new ProxyPart(),
                new DialUpPart());
    }
}
