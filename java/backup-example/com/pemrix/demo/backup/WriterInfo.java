package com.pemrix.demo.backup;

import com.pemrix.vss.FileDescriptor;
import com.pemrix.vss.VSSFactory;
import com.pemrix.vss.VssException;
import com.pemrix.vss.VssRestoreInfo;
import com.pemrix.vss.WMComponent;
import com.pemrix.vss.WriterMetaData;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HexFormat;
import java.util.List;

/** What a backup keeps of one writer's metadata: identity, restore method, components and their files. */
final class WriterInfo {
    /** A set of files of a component: a directory, a file pattern and whether it reaches below. */
    static final class FileSet {
        final String path;
        final String pattern;
        final boolean recursive;

        FileSet(String path, String pattern, boolean recursive) {
            this.path = path;
            this.pattern = pattern;
            this.recursive = recursive;
        }

        boolean contains(String file) {
            String directory = LocalFiles.parent(file);
            boolean inPlace = recursive ? WindowsPaths.isWithin(directory, path)
                    : WindowsPaths.trim(directory).equalsIgnoreCase(WindowsPaths.trim(path));
            return inPlace && WindowsPaths.matches(WindowsPaths.name(file), pattern);
        }
    }

    /** One component: how the backup document names it, and its files. */
    static final class ComponentInfo {
        final int type;
        final String logicalPath;  // null when the component has none
        final String name;
        final String caption;
        final List<FileSet> files;

        ComponentInfo(int type, String logicalPath, String name, String caption, List<FileSet> files) {
            this.type = type;
            this.logicalPath = logicalPath;
            this.name = name;
            this.caption = caption;
            this.files = Collections.unmodifiableList(files);
        }

        boolean contains(String file) {
            for (FileSet set : files) {
                if (set.contains(file)) {
                    return true;
                }
            }
            return false;
        }

        String label() {
            return (logicalPath == null ? "" : logicalPath + "\\") + name;
        }
    }

    final String name;
    final byte[] writerId;
    final byte[] instanceId;
    final String metadataXml;
    final VssRestoreInfo restore;
    final List<ComponentInfo> components;

    WriterInfo(String name, byte[] writerId, byte[] instanceId, String metadataXml, VssRestoreInfo restore,
            List<ComponentInfo> components) {
        this.name = name;
        this.writerId = writerId;
        this.instanceId = instanceId;
        this.metadataXml = metadataXml;
        this.restore = restore;
        this.components = Collections.unmodifiableList(components);
    }

    /** Reads a writer's metadata object; the caller deletes it. */
    static WriterInfo read(long metadata) throws VssException {
        String name = WriterMetaData.getName(metadata);
        byte[] writerId = WriterMetaData.GetWriterId(metadata);
        byte[] instanceId = WriterMetaData.GetInstanceId(metadata);
        String xml = WriterMetaData.SaveAsXML(metadata);
        VssRestoreInfo restore = restoreMethod(metadata);
        List<ComponentInfo> components = new ArrayList<>();
        int count = WriterMetaData.getComponentCount(metadata);
        for (int i = 0; i < count; i++) {
            WMComponent component = WriterMetaData.getComponent(metadata, i);
            try {
                component.getInfo(component.handle());
                List<FileSet> files = new ArrayList<>();
                for (int f = 0; f < component.fileCount; f++) {
                    files.add(fileSet(WMComponent.getFile(component.handle(), f)));
                }
                for (int f = 0; f < component.databaseCount; f++) {
                    files.add(fileSet(WMComponent.getDatabaseFile(component.handle(), f)));
                }
                for (int f = 0; f < component.logfileCount; f++) {
                    files.add(fileSet(WMComponent.getDatabaseLogFile(component.handle(), f)));
                }
                String logicalPath = component.logicalPath == null || component.logicalPath.isEmpty() ? null
                        : component.logicalPath;
                components.add(new ComponentInfo(component.type, logicalPath, component.componentName,
                        component.caption, files));
            } finally {
                VSSFactory.delete_CUnknown(component.handle());
            }
        }
        return new WriterInfo(name, writerId, instanceId, xml, restore, components);
    }

    /** A writer need not declare a restore method; the service answers S_FALSE then. */
    private static VssRestoreInfo restoreMethod(long metadata) throws VssException {
        try {
            return WriterMetaData.getRestoreInfo(metadata);
        } catch (VssException e) {
            if (NO_VALUE.equals(e.getMessage())) {
                return null;
            }
            throw e;
        }
    }

    /** How the bridge reports the service's S_FALSE: the call succeeded and had nothing to give. */
    static final String NO_VALUE = "Call returned \"False\"";

    private static FileSet fileSet(FileDescriptor descriptor) throws VssException {
        try {
            return new FileSet(WindowsPaths.trim(FileDescriptor.getPath(descriptor.handle())),
                    FileDescriptor.getSpec(descriptor.handle()), FileDescriptor.getRecursive(descriptor.handle()));
        } finally {
            VSSFactory.delete_CUnknown(descriptor.handle());
        }
    }

    static String hex(byte[] id) {
        return HexFormat.of().formatHex(id);
    }

    static byte[] unhex(String text) {
        return HexFormat.of().parseHex(text);
    }
}
