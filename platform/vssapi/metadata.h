// Writer metadata: what a writer declares about itself, as the service's metadata documents
// hold it, and the writers declared on the machine.
//
// Writers are declared by files <root>/vss/writers/<name>.xml (the machine tool installs them),
// each a metadata document, optionally with a <Status> element that sets what the writer
// reports when the requester gathers writer status:
//
//   <WriterMetadata name="Registry Writer" writerId="{...}" instanceId="{...}" usage="2" source="3">
//     <RestoreMethod method="2" service="" userProcedure="" writerRestore="1" rebootRequired="no"/>
//     <AlternateLocationMapping path="..." filespec="*" recursive="no" alternate="..."/>
//     <Include path="..." filespec="..." recursive="yes"/>
//     <Exclude path="..." filespec="..." recursive="yes"/>
//     <Component name="Registry" logicalPath="System" caption="..." type="2" selectable="yes"
//                selectableForRestore="no" restoreMetadata="no" notifyOnBackupComplete="no"
//                flags="0" preRestoreFailure="...">
//       <File path="%SystemRoot%\System32\config" filespec="*" recursive="no" alternate="..."/>
//       <Database path="..." filespec="..."/>
//       <Log path="..." filespec="..."/>
//       <Dependency writerId="{...}" logicalPath="..." name="..."/>
//     </Component>
//     <Status state="7" failure="0x800423F3" after="PrepareForBackup"/>
//   </WriterMetadata>
//
// An absent attribute is an absent value (a null BSTR); the instance identifier defaults to one
// derived from the writer identifier. usage, source, type, method and writerRestore take the
// numbers of the SDK's enumerations.
#pragma once

#include <vsbackup.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::vss {

using Text = std::optional<std::u16string>;

struct FileSet {
    Text path;
    Text filespec;
    Text alternate;
    bool recursive = false;
};

struct Dependency {
    VSS_ID writerId = {};
    Text logicalPath;
    Text name;
};

struct DeclaredComponent {
    VSS_COMPONENT_TYPE type = VSS_CT_FILEGROUP;
    Text name;
    Text logicalPath;
    Text caption;
    bool selectable = true;
    bool selectableForRestore = false;
    bool restoreMetadata = false;
    bool notifyOnBackupComplete = false;
    DWORD flags = 0;
    std::vector<FileSet> files;
    std::vector<FileSet> databases;
    std::vector<FileSet> logs;
    std::vector<Dependency> dependencies;
    Text preRestoreFailure;  // what the writer reports at pre-restore; not part of the document
};

struct RestoreMethod {
    VSS_RESTOREMETHOD_ENUM method = VSS_RME_UNDEFINED;
    Text service;
    Text userProcedure;
    VSS_WRITERRESTORE_ENUM writerRestore = VSS_WRE_UNDEFINED;
    bool rebootRequired = false;
};

// The status a declared writer reports, once the step named by `after` has run (at once when
// empty): PrepareForBackup, DoSnapshotSet, BackupComplete, PreRestore or PostRestore.
struct DeclaredStatus {
    VSS_WRITER_STATE state = VSS_WS_STABLE;
    HRESULT failure = S_OK;
    std::string after;
};

struct WriterMetadata {
    Text name;
    VSS_ID writerId = {};
    VSS_ID instanceId = {};
    VSS_USAGE_TYPE usage = VSS_UT_OTHER;
    VSS_SOURCE_TYPE source = VSS_ST_OTHER;
    std::optional<RestoreMethod> restoreMethod;
    std::vector<FileSet> alternateMappings;
    std::vector<FileSet> includes;
    std::vector<FileSet> excludes;
    std::vector<DeclaredComponent> components;
    std::optional<DeclaredStatus> status;  // declarations only
};

// S_OK, VSS_E_CORRUPT_XML_DOCUMENT (not XML) or VSS_E_INVALID_XML_DOCUMENT (XML of another
// kind or with bad values); `error` says what is wrong.
HRESULT parseWriterMetadata(std::string_view xml, WriterMetadata &out, std::string *error = nullptr);

// The metadata document (without the declaration-only parts).
std::string writeWriterMetadata(const WriterMetadata &metadata);

// The writers declared on the machine, in the order of their file names. Declarations that
// cannot be read are left out (the machine tool checks them when it installs them).
std::vector<WriterMetadata> declaredWriters();

// The directory that holds the declarations.
std::string writersDirectory();

// Attribute helpers shared with the backup document.
bool parseFlag(const char *text, bool fallback, bool &ok);

// Case-insensitive equality of two optional texts, an absent text equal to an empty one.
bool sameText(const Text &a, const Text &b);

}  // namespace winsim::vss
