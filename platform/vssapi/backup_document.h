// The backup components document: what a backup recorded for each writer (the components it
// added and whether their backup succeeded), handed out by SaveAsXML and taken back by
// InitializeForRestore, plus what a restore adds to it (selection, new targets, outcomes).
//
//   <BackupComponents selectComponents="yes" bootableSystemState="no" backupType="1"
//                     partialFileSupport="no">
//     <Writer writerId="{...}" instanceId="{...}" name="...">
//       <Component type="2" logicalPath="..." name="..." backupSucceeded="yes"
//                  selectedForRestore="no" fileRestoreStatus="0" preRestoreFailure="...">
//         <NewTarget path="..." fileName="..." recursive="no" alternatePath="..."/>
//       </Component>
//     </Writer>
//   </BackupComponents>
#pragma once

#include "vssapi/metadata.h"

#include <memory>

namespace winsim::vss {

struct NewTarget {
    std::u16string path;
    std::u16string fileName;
    std::u16string alternatePath;
    bool recursive = false;
};

// Shared with the IVssComponent objects handed out for it, which see later changes.
struct ComponentRecord {
    VSS_COMPONENT_TYPE type = VSS_CT_UNDEFINED;
    Text logicalPath;
    std::u16string name;
    bool backupSucceeded = false;
    bool selectedForRestore = false;
    VSS_FILE_RESTORE_STATUS fileRestoreStatus = VSS_RS_UNDEFINED;
    std::vector<NewTarget> newTargets;
    Text preRestoreFailure;
};

struct WriterRecord {
    VSS_ID writerId = {};
    VSS_ID instanceId = {};
    Text name;
    std::vector<std::shared_ptr<ComponentRecord>> components;
};

struct BackupDocument {
    bool selectComponents = false;
    bool bootableSystemState = false;
    bool partialFileSupport = false;
    VSS_BACKUP_TYPE backupType = VSS_BT_UNDEFINED;
    std::vector<std::shared_ptr<WriterRecord>> writers;

    // The component of a writer with this logical path and name, or null.
    std::shared_ptr<ComponentRecord> find(const VSS_ID &writerId, const Text &logicalPath,
                                          std::u16string_view name) const;
};

// S_OK, VSS_E_CORRUPT_XML_DOCUMENT or VSS_E_INVALID_XML_DOCUMENT.
HRESULT parseBackupDocument(std::string_view xml, BackupDocument &out);
std::string writeBackupDocument(const BackupDocument &document);

}  // namespace winsim::vss
