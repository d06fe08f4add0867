#include "machine/restart.h"

#include <algorithm>
#include <mutex>

namespace winsim {

namespace {

struct RegisteredTask {
    int order;
    const char *name;
    StartupTask task;
};

// Filled by static objects while the library loads, so only through a function-local static.
std::vector<RegisteredTask> &registeredTasks()
{
    static std::vector<RegisteredTask> tasks;
    return tasks;
}

std::mutex restartMutex;

}  // namespace

StartupTaskRegistration::StartupTaskRegistration(int order, const char *name, StartupTask task)
{
    registeredTasks().push_back({order, name, task});
}

std::vector<StartupStep> restartMachine()
{
    std::lock_guard<std::mutex> lock(restartMutex);
    std::vector<RegisteredTask> tasks = registeredTasks();
    std::stable_sort(tasks.begin(), tasks.end(),
                     [](const RegisteredTask &a, const RegisteredTask &b) { return a.order < b.order; });
    std::vector<StartupStep> steps;
    for (const RegisteredTask &entry : tasks) {
        StartupStep step = entry.task();
        if (step.name.empty())
            step.name = entry.name;
        steps.push_back(std::move(step));
    }
    return steps;
}

}  // namespace winsim
