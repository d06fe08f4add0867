// The volumes of the emulated machine, as the shadow copy service sees them: every drive that
// exists (C: and each <root>/drive_<letter>) except Z:, the host's own file system. A volume is
// named by its drive root ("C:\") or by its GUID name ("\\?\Volume{...}\"), fixed for the
// machine, each with its trailing backslash (without it, it names no volume, as on Windows). "vss.volume.<letter>.supported = no" in the machine configuration makes one that
// the provider cannot copy.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace winsim::vss {

struct Volume {
    char16_t letter = 0;      // upper case
    std::u16string guidName;  // \\?\Volume{...}\ (with the trailing backslash)
    std::string root;         // host directory
    bool supported = true;
};

std::vector<Volume> machineVolumes();

// S_OK, E_INVALIDARG for a name that is no volume name, VSS_E_OBJECT_NOT_FOUND for a volume the
// machine does not have (Z: included) and for a name without its trailing backslash.
HRESULT findVolume(std::u16string_view name, Volume &out);

}  // namespace winsim::vss
