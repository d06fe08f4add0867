// A restart of the emulated machine: the work Windows does while it starts (hive replacements,
// file operations pending until restart, ...), carried out by `winsim restart`. Each part of the
// platform that leaves work for the next start registers a task for it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace winsim {

struct StartupStep {
    std::string name;
    DWORD error = ERROR_SUCCESS;  // the step's failure, ERROR_SUCCESS when it succeeded
    std::string message;          // what it did or why it failed, for people; may be empty
};

using StartupTask = StartupStep (*)();

// The order of the tasks, as Windows orders them while it starts: the configuration manager
// loads the hives (replacing those that RegReplaceKey replaced), then the session manager carries
// out the pending file renames, then services and the desktop come up empty.
enum StartupOrder {
    kStartupReplaceHives = 100,
    kStartupPendingFileRenames = 200,
    kStartupResetRuntimeState = 300,
};

// Registers a task of the machine's start; made by a static object of the area it belongs to.
struct StartupTaskRegistration {
    StartupTaskRegistration(int order, const char *name, StartupTask task);
};

// Restarts the machine this process runs on: runs every registered task in order, each once,
// and returns what each did. A failed task does not stop the later ones.
std::vector<StartupStep> restartMachine();

}  // namespace winsim
