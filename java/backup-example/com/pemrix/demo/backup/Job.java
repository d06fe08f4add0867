package com.pemrix.demo.backup;

import com.pemrix.vaultcore.os.win32.BackupApi;
import com.pemrix.vss.VSSFactory;
import java.util.List;
import java.util.Locale;

/** One run of the client: a backup, a restore or a verification, with what they share. */
abstract class Job {
    static final String BACKUP = "backup";
    static final String RESTORE = "restore";
    static final String VERIFY = "verify";

    final JobSettings settings;
    final JobLog log;
    final JobControl control;
    final List<Part> parts;

    Job(JobSettings settings, JobLog log, JobControl control, List<Part> parts) {
        this.settings = settings;
        this.log = log;
        this.control = control;
        this.parts = parts;
    }

    /** The job's name in its canonical form; raises for a name that is none. */
    static String kind(String name) {
        String kind = name.toLowerCase(Locale.ROOT);
        if (!kind.equals(BACKUP) && !kind.equals(RESTORE) && !kind.equals(VERIFY)) {
            throw new IllegalArgumentException("no such job: " + name + " (backup, restore or verify)");
        }
        return kind;
    }

    static Job create(String kind, JobSettings settings, JobLog log, JobControl control) {
        List<Part> parts = Parts.standard();
        switch (kind(kind)) {
            case BACKUP:
                return new BackupJob(settings, log, control, parts);
            case RESTORE:
                return new RestoreJob(settings, log, control, parts);
            default:
                return new VerifyJob(settings, log, control, parts);
        }
    }

    /** Runs the job; returns the summary that its status line shows. */
    abstract String run() throws Exception;

    /** The natives' classes, and the privileges that let a backup read and a restore write anything. */
    static void prepareNatives(boolean shadowCopies) throws Exception {
        BackupApi.init();
        if (shadowCopies) {
            VSSFactory.init();
        }
        for (String privilege : new String[] {"SeBackupPrivilege", "SeRestorePrivilege", "SeSecurityPrivilege"}) {
            BackupApi.setPrivilege(privilege, true);
        }
    }
}
