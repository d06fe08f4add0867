// The emulated Windows machine: one directory (the machine root) holds its drives, its
// configuration and the state that the stand-in system services keep.
#pragma once

#include <string>

namespace winsim {

// The environment variable that names the machine root; without it the root is
// $XDG_DATA_HOME/winsim (or ~/.local/share/winsim).
inline constexpr const char *kMachineRootVariable = "WINSIM_ROOT";

// The root of the machine this process runs on. The machine is created on first use.
const std::string &machineRoot();

// Creates (or completes) a machine at root: drives, System32 with the stand-in DLLs,
// default configuration. Safe to run from several processes at once.
void createMachine(const std::string &root);

// A step of creating a machine, for state that belongs to one area of the platform (the Java
// runtime, the version and names of the computer, registered servers, ...); made by a static
// object of that area. Steps run in ascending order after the drives, System32 and machine.conf
// exist, on every createMachine, so each keeps what it finds (a machine is completed, not reset).
using MachineSetupStep = void (*)(const std::string &root);
struct MachineSetupRegistration {
    MachineSetupRegistration(int order, MachineSetupStep step);
};

// The directory that holds the stand-in platform's shared libraries.
const std::string &platformLibraryDirectory();

// Machine configuration (root/machine.conf, "key = value" lines). Read afresh on every call,
// so the machine tool can change the machine under a running process.
std::string machineSetting(const std::string &key, const std::string &fallback);
bool machineFlag(const std::string &key, bool fallback);
void setMachineSetting(const std::string &root, const std::string &key, const std::string &value);

}  // namespace winsim
