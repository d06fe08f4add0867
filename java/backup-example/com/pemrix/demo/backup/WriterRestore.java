package com.pemrix.demo.backup;

import com.pemrix.vaultcore.os.win32.Util;
import com.pemrix.vss.BackupComponents;
import com.pemrix.vss.Component;
import com.pemrix.vss.VSSFactory;
import com.pemrix.vss.VssException;
import com.pemrix.vss.WriterComponents;
import com.pemrix.vss.WriterStatus;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * The writers' side of a backup: their metadata and the backup document kept in the archive, and
 * the shadow-copy restore sequence around a restore. The components of the document are selected,
 * the writers run their pre-restore phase (a component whose writer reports a failure there is
 * not restored), the files are put back, each component's outcome is reported and the writers
 * run their post-restore phase.
 *
 * <p>Manifest records: {@code writer id= instance= name= metadata=writers/N restore-method=
 * restore-service= reboot=}, {@code component writer= type= logical-path= name= caption=},
 * {@code component-files writer= component= path= filespec= recursive=yes|no},
 * {@code document entry=vss/backup-document.xml}.
 */
final class WriterRestore implements AutoCloseable {
    static final String DOCUMENT_ENTRY = "vss/backup-document.xml";

    /** A component of the backup document, with the files the writer declared for it. */
    static final class Selected {
        final byte[] writerId;
        final String writerName;
        final int type;
        final String logicalPath;
        final String name;
        final List<WriterInfo.FileSet> files;
        String refusal;  // the writer's pre-restore failure, when it refused the component

        Selected(byte[] writerId, String writerName, int type, String logicalPath, String name,
                List<WriterInfo.FileSet> files) {
            this.writerId = writerId;
            this.writerName = writerName;
            this.type = type;
            this.logicalPath = logicalPath;
            this.name = name;
            this.files = files;
        }

        boolean contains(String path) {
            for (WriterInfo.FileSet set : files) {
                if (set.contains(path)) {
                    return true;
                }
            }
            return false;
        }

        String label() {
            return writerName + ": " + (logicalPath == null ? "" : logicalPath + "\\") + name;
        }
    }

    private final long handle;
    private final List<Selected> selected;
    private final List<String> stoppedServices = new ArrayList<>();
    private boolean preRestored;
    private boolean finished;

    private WriterRestore(long handle, List<Selected> selected) {
        this.handle = handle;
        this.selected = selected;
    }

    // ---- backup ----

    /** Keeps the writers' metadata in the archive and their components in the manifest. */
    static void record(BackupRun run) throws IOException {
        for (WriterInfo writer : run.shadow.writers()) {
            String entry = run.newEntryName("writers");
            run.archive.put(entry, writer.metadataXml.getBytes(StandardCharsets.UTF_8));
            String id = WriterInfo.hex(writer.writerId);
            run.manifest.add("writer").put("id", id).put("instance", WriterInfo.hex(writer.instanceId))
                    .put("name", writer.name).put("metadata", entry)
                    .put("restore-method", writer.restore == null ? null : Integer.toString(writer.restore.method))
                    .put("restore-service", writer.restore == null ? null : writer.restore.service)
                    .put("reboot", writer.restore != null && writer.restore.rebootRequired ? "yes" : "no");
            for (WriterInfo.ComponentInfo component : writer.components) {
                run.manifest.add("component").put("writer", id).put("type", component.type)
                        .put("logical-path", component.logicalPath).put("name", component.name)
                        .put("caption", component.caption);
                for (WriterInfo.FileSet set : component.files) {
                    run.manifest.add("component-files").put("writer", id).put("component", component.label())
                            .put("path", set.path).put("filespec", set.pattern)
                            .put("recursive", set.recursive ? "yes" : "no");
                }
            }
        }
    }

    /** Keeps the backup document that ends the backup. */
    static void recordDocument(BackupRun run, String document) throws IOException {
        run.archive.put(DOCUMENT_ENTRY, document.getBytes(StandardCharsets.UTF_8));
        run.manifest.add("document").put("entry", DOCUMENT_ENTRY);
    }

    // ---- restore ----

    /**
     * Hands the backup document to the service, selects its components and runs the writers'
     * pre-restore phase; an archive without a document gives a restore without writers.
     */
    static WriterRestore begin(RestoreRun run) throws Exception {
        if (run.manifest.all("document").isEmpty()) {
            return new WriterRestore(0, List.of());
        }
        String document = new String(run.archive.read(run.manifest.one("document").get("entry")),
                StandardCharsets.UTF_8);
        BackupComponents requester = VSSFactory.getBackupComponents0();
        if (requester == null) {
            throw new VssException("the shadow copy service gave no requester");
        }
        WriterRestore restore = new WriterRestore(requester.handle(), new ArrayList<>());
        try {
            restore.prepare(run, document);
            return restore;
        } catch (Exception | Error e) {
            restore.close();
            throw e;
        }
    }

    private void prepare(RestoreRun run, String document) throws Exception {
        BackupComponents.LoadFromXML(handle, document);
        BackupComponents.gatherWriterMetadata(handle);
        List<Long> components = new ArrayList<>();
        try {
            int writers = BackupComponents.GetWriterComponentsCount(handle);
            for (int w = 0; w < writers; w++) {
                WriterComponents writer = BackupComponents.GetWriterComponents(handle, w);
                try {
                    byte[] writerId = WriterComponents.GetWriterId(writer.handle());
                    int count = WriterComponents.GetComponentCount(writer.handle());
                    for (int c = 0; c < count; c++) {
                        Component component = WriterComponents.GetComponent(writer.handle(), c);
                        components.add(component.handle());
                        String name = Component.GetComponentName(component.handle());
                        String logicalPath = Component.GetLogicalPath(component.handle());
                        int type = Component.GetComponentType(component.handle());
                        BackupComponents.SetSelectedForRestore(handle, writerId, type, logicalPath, name, true);
                        selected.add(new Selected(writerId, writerName(run, writerId), type, logicalPath, name,
                                fileSets(run, writerId, logicalPath, name)));
                    }
                } finally {
                    VSSFactory.delete_CUnknown(writer.handle());
                }
            }
            BackupComponents.PreRestore(handle);
            preRestored = true;
            for (int i = 0; i < components.size(); i++) {
                String failure = Component.GetPreRestoreFailureMsg(components.get(i));
                if (failure != null) {
                    Selected component = selected.get(i);
                    component.refusal = failure;
                    run.log.line("writer " + component.label() + " refused the restore: " + failure);
                }
            }
        } finally {
            for (long component : components) {
                VSSFactory.delete_CUnknown(component);
            }
        }
        stopServices(run);
        for (Selected component : selected) {
            if (component.refusal == null) {
                run.log.line("restoring writer component " + component.label());
            }
        }
    }

    /** Restore methods with which the writer wants its service stopped while its files are put back. */
    static final int VSS_RME_STOP_RESTORE_START = 3;
    static final int VSS_RME_RESTORE_STOP_START = 8;
    /** The system's words when a service is not installed: then nothing runs that must stop. */
    static final String NO_SUCH_SERVICE = "The specified service does not exist as an installed service.";

    /**
     * Stops the service of each writer that asks for it (and, first, the services that depend on
     * it). A service that cannot be stopped keeps running, so its writer's components are left as
     * they are rather than changed under it.
     */
    private void stopServices(RestoreRun run) throws ArchiveException {
        for (Manifest.Record writer : run.manifest.all("writer")) {
            String method = writer.get("restore-method", "");
            String service = writer.get("restore-service", "");
            boolean stopFirst = method.equals(Integer.toString(VSS_RME_STOP_RESTORE_START))
                    || method.equals(Integer.toString(VSS_RME_RESTORE_STOP_START));
            if (!stopFirst || service.isEmpty() || !selects(writer.get("id"))) {
                continue;
            }
            try {
                Util.init();
                Util.StopServiceN(service);
                stoppedServices.add(service);
                run.log.line("stopped the service " + service + " (and the services that depend on it) for writer "
                        + writer.get("name", "?"));
            } catch (Exception e) {
                if (NO_SUCH_SERVICE.equals(e.getMessage())) {
                    run.log.line("the service " + service + " of writer " + writer.get("name", "?")
                            + " is not installed here: nothing to stop");
                    continue;
                }
                for (Selected component : selected) {
                    if (WriterInfo.hex(component.writerId).equals(writer.get("id")) && component.refusal == null) {
                        component.refusal = "its service " + service + " could not be stopped (" + e.getMessage() + ")";
                    }
                }
                run.log.line("the service " + service + " could not be stopped: " + e.getMessage());
            }
        }
    }

    private boolean selects(String writerId) {
        for (Selected component : selected) {
            if (WriterInfo.hex(component.writerId).equals(writerId) && component.refusal == null) {
                return true;
            }
        }
        return false;
    }

    /** The services stopped for the restore; the restore does not start them again. */
    List<String> stoppedServices() {
        return stoppedServices;
    }

    private static String writerName(RestoreRun run, byte[] writerId) throws ArchiveException {
        String id = WriterInfo.hex(writerId);
        for (Manifest.Record writer : run.manifest.all("writer")) {
            if (writer.get("id").equals(id)) {
                return writer.get("name", id);
            }
        }
        return id;
    }

    private static List<WriterInfo.FileSet> fileSets(RestoreRun run, byte[] writerId, String logicalPath, String name)
            throws ArchiveException {
        String id = WriterInfo.hex(writerId);
        String label = (logicalPath == null ? "" : logicalPath + "\\") + name;
        List<WriterInfo.FileSet> sets = new ArrayList<>();
        for (Manifest.Record record : run.manifest.all("component-files")) {
            if (record.get("writer").equals(id) && record.get("component").equals(label)) {
                sets.add(new WriterInfo.FileSet(record.get("path"), record.get("filespec"),
                        record.get("recursive").equals("yes")));
            }
        }
        return sets;
    }

    /** Why a path may not be restored (its writer refused its component), or null. */
    String refusal(String path) {
        for (Selected component : selected) {
            if (component.refusal != null && component.contains(path)) {
                return "its writer component " + component.label() + " refused the restore: " + component.refusal;
            }
        }
        return null;
    }

    /** Reports each component's outcome and runs the writers' post-restore phase. */
    void finish(RestoreRun run) throws VssException {
        if (handle == 0) {
            return;
        }
        for (Selected component : selected) {
            int status = component.refusal != null ? BackupComponents.VSS_RS_NONE : BackupComponents.VSS_RS_ALL;
            for (String failure : run.failures) {
                String path = failure.substring(0, failure.indexOf(": "));
                if (component.contains(path)) {
                    status = BackupComponents.VSS_RS_FAILED;
                }
            }
            BackupComponents.SetFileRestoreStatus(handle, component.writerId, component.type, component.logicalPath,
                    component.name, status);
        }
        BackupComponents.PostRestore(handle);
        finished = true;
        BackupComponents.GatherWriterStatusN(handle);
        int count = BackupComponents.GetWriterStatusCnt(handle);
        for (int i = 0; i < count; i++) {
            WriterStatus status = BackupComponents.GetWriterStatus(handle, i);
            if (status != null && ShadowCopy.failed(status)) {
                run.failed("writer " + status.name, "failed after the restore (state "
                        + ShadowCopy.stateName(status.state) + ", failure " + status.failureCode + ")");
            }
        }
    }

    List<Selected> components() {
        return selected;
    }

    boolean finished() {
        return finished;
    }

    /**
     * Releases the requester. A restore that ended before its post-restore phase (it failed or was
     * stopped) tells the writers that their components were not restored and runs that phase, so
     * that no writer is left waiting for files that will not come.
     */
    @Override
    public void close() {
        if (handle == 0) {
            return;
        }
        try {
            if (preRestored && !finished) {
                for (Selected component : selected) {
                    BackupComponents.SetFileRestoreStatus(handle, component.writerId, component.type,
                            component.logicalPath, component.name, BackupComponents.VSS_RS_FAILED);
                }
                BackupComponents.PostRestore(handle);
            }
        } catch (VssException ignored) {
            // Releasing the requester below ends the restore sequence in any case.
        } finally {
            VSSFactory.delete_CUnknown(handle);
        }
    }
}
