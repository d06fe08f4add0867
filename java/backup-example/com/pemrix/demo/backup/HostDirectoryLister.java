package com.pemrix.demo.backup;

import com.pemrix.vaultcore.os.win32.BackupApi;
import java.io.IOException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/**
 * Lists a directory through Java's own file access (the names) and the natives (the attributes).
 * Java cannot list a snapshot's device on Windows; this lister stands in until the client
 * enumerates with the file natives.
 */
final class HostDirectoryLister implements DirectoryLister {
    @Override
    public List<Entry> list(String directory) throws IOException {
        List<Entry> entries = new ArrayList<>();
        try (DirectoryStream<Path> names = Files.newDirectoryStream(LocalFiles.of(directory))) {
            for (Path path : names) {
                if (!Files.exists(path)) {
                    continue;  // a link that leads nowhere
                }
                String name = path.getFileName().toString();
                int attributes = BackupApi.GetFileAttributes(WindowsPaths.join(directory, name));
                long size = (attributes & FileAttributes.DIRECTORY) != 0 ? 0 : Files.size(path);
                entries.add(new Entry(name, attributes, size));
            }
        }
        return entries;
    }
}
