// Shadow copies of the emulated machine's volumes. A shadow copy is a frozen copy of a volume's
// tree, taken when the snapshot set is made: <root>/shadow/HarddiskVolumeShadowCopyN holds the
// files with their Windows metadata (attributes, streams, security), and
// <root>/shadow/HarddiskVolumeShadowCopyN.info its properties. The file functions reach it
// read-only under the device path \\?\GLOBALROOT\Device\HarddiskVolumeShadowCopyN.
// Named streams kept in the sidecar store get sidecars of their own (named
// "shadowcopyN-<original name>"), so that the copy does not follow the live file.
#pragma once

#include "vssapi/volumes.h"

#include <vss.h>

#include <string>
#include <vector>

namespace winsim::vss {

struct Snapshot {
    unsigned long number = 0;
    VSS_ID id = {};
    VSS_ID setId = {};
    LONG setSize = 0;
    std::u16string volumeName;  // the original volume's GUID name
    char16_t letter = 0;
    VSS_TIMESTAMP created = 0;  // 100-ns intervals since 1601
    long ownerProcess = 0;      // the requester's process, whose end releases the snapshot
    uint64_t ownerStart = 0;    // its start time, against the reuse of its process id

    std::u16string deviceName() const;
};

// Freezes a volume's content into a new shadow copy; fills number and created.
// S_OK, VSS_E_INSUFFICIENT_STORAGE or VSS_E_UNEXPECTED_PROVIDER_ERROR.
HRESULT createSnapshot(const Volume &volume, Snapshot &snapshot);

bool findSnapshot(const VSS_ID &id, Snapshot &out);
std::vector<Snapshot> listSnapshots();

// Deletes the snapshots whose requester's process has ended without releasing them (killed or
// crashed): they are auto-release snapshots, which Windows deletes when their requester goes.
// Run by every call of the service and by the machine tool.
void releaseSnapshotsOfEndedProcesses();
unsigned snapshotsOfVolume(char16_t letter);
void deleteSnapshot(unsigned long number);

// At most this many shadow copies of one volume, as on Windows.
constexpr unsigned kMaxSnapshotsPerVolume = 64;

}  // namespace winsim::vss
