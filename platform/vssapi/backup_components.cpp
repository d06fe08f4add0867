// IVssBackupComponents: one requester's conversation with the service. The service keeps the
// requester to its order of steps and answers a step out of order with VSS_E_BAD_STATE:
//
//   backup:  InitializeForBackup, SetBackupState, GatherWriterMetadata, AddComponent...,
//            StartSnapshotSet, AddToSnapshotSet..., PrepareForBackup, DoSnapshotSet,
//            SetBackupSucceeded..., BackupComplete (AbortBackup at any point)
//   restore: InitializeForRestore, GatherWriterMetadata, SetSelectedForRestore and
//            AddNewTarget..., PreRestore, SetFileRestoreStatus..., PostRestore
//
// (SetBackupState may come anywhere before PrepareForBackup; AddComponent, StartSnapshotSet and
// AddToSnapshotSet in any order between GatherWriterMetadata and DoSnapshotSet.)
// GatherWriterStatus, SaveAsXML and GetSnapshotProperties are allowed once initialised.
// The snapshots made by an object are released with it, as in the backup context.
#include "advapi32/token.h"
#include "machine/machine.h"
#include "machine/text.h"
#include "vssapi/backup_document.h"
#include "vssapi/examine_metadata.h"
#include "vssapi/service.h"
#include "vssapi/snapshots.h"
#include "vssapi/writer_components.h"

#include <set>

extern "C" const IID IID_IVssBackupComponents = {
    0x665c1d5f, 0xc218, 0x414d, {0xa0, 0x5d, 0x7f, 0xef, 0x5f, 0x9d, 0x5c, 0x86}};

namespace winsim::vss {

namespace {

constexpr size_t kMaxVolumesPerSet = 64;

Text textOf(LPCWSTR text)
{
    if (!text)
        return std::nullopt;
    return std::u16string(text);
}

// A copy of a text for the caller, on the task allocator as the service hands them out.
WCHAR *taskText(const std::u16string &text)
{
    auto *copy = static_cast<WCHAR *>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (copy) {
        std::char_traits<char16_t>::copy(copy, text.c_str(), text.size());
        copy[text.size()] = 0;
    }
    return copy;
}

struct WriterStatusEntry {
    VSS_ID instanceId;
    VSS_ID writerId;
    Text name;
    VSS_WRITER_STATE state;
    HRESULT failure;
};

class BackupComponents final : public ComObject<IVssBackupComponents> {
public:
    BackupComponents() : ComObject("BackupComponents", &IID_IVssBackupComponents) {}
    ~BackupComponents() override { releaseSnapshots(); }

    HRESULT STDMETHODCALLTYPE GetWriterComponentsCount(UINT *count) override
    {
        if (!count)
            return E_POINTER;
        *count = 0;
        if (HRESULT injected = enterCall("BackupComponents.GetWriterComponentsCount"))
            return injected;
        if (mode_ != Mode::Backup && mode_ != Mode::Restore)
            return VSS_E_BAD_STATE;
        *count = static_cast<UINT>(document_.writers.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetWriterComponents(UINT index, IVssWriterComponentsExt **writer) override
    {
        if (!writer)
            return E_POINTER;
        *writer = nullptr;
        if (HRESULT injected = enterCall("BackupComponents.GetWriterComponents"))
            return injected;
        if (mode_ != Mode::Backup && mode_ != Mode::Restore)
            return VSS_E_BAD_STATE;
        if (index >= document_.writers.size())
            return E_INVALIDARG;
        *writer = newWriterComponents(document_.writers[index]);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE InitializeForBackup(BSTR xml) override
    {
        if (HRESULT injected = enterCall("BackupComponents.InitializeForBackup"))
            return injected;
        if (mode_ != Mode::Fresh)
            return VSS_E_BAD_STATE;
        if (xml)
            if (HRESULT result = parseBackupDocument(bstrText(xml), document_))
                return result;
        mode_ = Mode::Backup;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetBackupState(boolean selectComponents, boolean bootableSystemState,
                                             VSS_BACKUP_TYPE backupType, boolean partialFileSupport) override
    {
        if (HRESULT injected = enterCall("BackupComponents.SetBackupState"))
            return injected;
        if (mode_ != Mode::Backup || prepared_)
            return VSS_E_BAD_STATE;
        if (backupType < VSS_BT_UNDEFINED || backupType > VSS_BT_OTHER)
            return E_INVALIDARG;
        document_.selectComponents = selectComponents;
        document_.bootableSystemState = bootableSystemState;
        document_.backupType = backupType;
        document_.partialFileSupport = partialFileSupport;
        backupStateSet_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE InitializeForRestore(BSTR xml) override
    {
        if (HRESULT injected = enterCall("BackupComponents.InitializeForRestore"))
            return injected;
        if (mode_ != Mode::Fresh)
            return VSS_E_BAD_STATE;
        if (!xml)
            return E_INVALIDARG;
        if (HRESULT result = parseBackupDocument(bstrText(xml), document_))
            return result;
        mode_ = Mode::Restore;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetRestoreState(VSS_RESTORE_TYPE) override
    {
        if (HRESULT injected = enterCall("BackupComponents.SetRestoreState"))
            return injected;
        return mode_ == Mode::Restore && !preRestored_ ? S_OK : VSS_E_BAD_STATE;
    }
    HRESULT STDMETHODCALLTYPE GatherWriterMetadata(IVssAsync **async) override
    {
        return operation("BackupComponents.GatherWriterMetadata", async,
                         (mode_ == Mode::Backup || mode_ == Mode::Restore) && !metadataHeld_, [this] {
                             writers_.clear();
                             for (WriterMetadata &writer : declaredWriters())
                                 writers_.push_back(std::make_shared<const WriterMetadata>(std::move(writer)));
                             metadataHeld_ = true;
                             gathered_ = true;
                             return S_OK;
                         });
    }
    HRESULT STDMETHODCALLTYPE GetWriterMetadataCount(UINT *count) override
    {
        if (!count)
            return E_POINTER;
        *count = 0;
        if (HRESULT injected = enterCall("BackupComponents.GetWriterMetadataCount"))
            return injected;
        if (!metadataHeld_)
            return VSS_E_BAD_STATE;
        *count = static_cast<UINT>(writers_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetWriterMetadata(UINT index, VSS_ID *instance,
                                                IVssExamineWriterMetadata **metadata) override
    {
        if (!instance || !metadata)
            return E_POINTER;
        *instance = kNullId;
        *metadata = nullptr;
        if (HRESULT injected = enterCall("BackupComponents.GetWriterMetadata"))
            return injected;
        if (!metadataHeld_)
            return VSS_E_BAD_STATE;
        if (index >= writers_.size())
            return E_INVALIDARG;
        *instance = writers_[index]->instanceId;
        *metadata = newExamineWriterMetadata(writers_[index]);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FreeWriterMetadata() override
    {
        if (HRESULT injected = enterCall("BackupComponents.FreeWriterMetadata"))
            return injected;
        metadataHeld_ = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE AddComponent(VSS_ID instanceId, VSS_ID writerId, VSS_COMPONENT_TYPE type,
                                           LPCWSTR logicalPath, LPCWSTR name) override
    {
        if (HRESULT injected = enterCall("BackupComponents.AddComponent"))
            return injected;
        if (mode_ != Mode::Backup || !gathered_ || prepared_)
            return VSS_E_BAD_STATE;
        if (!name || (type != VSS_CT_DATABASE && type != VSS_CT_FILEGROUP))
            return E_INVALIDARG;
        const WriterMetadata *writer = nullptr;
        for (const auto &candidate : writers_)
            if (candidate->writerId == writerId && candidate->instanceId == instanceId)
                writer = candidate.get();
        if (!writer)
            return VSS_E_OBJECT_NOT_FOUND;
        const DeclaredComponent *declared = nullptr;
        for (const DeclaredComponent &component : writer->components)
            if (sameText(component.logicalPath, textOf(logicalPath)) && sameText(component.name, textOf(name)))
                declared = &component;
        if (!declared)
            return VSS_E_OBJECT_NOT_FOUND;
        if (document_.find(writerId, textOf(logicalPath), name))
            return VSS_E_OBJECT_ALREADY_EXISTS;
        std::shared_ptr<WriterRecord> record;
        for (const auto &existing : document_.writers)
            if (existing->writerId == writerId && existing->instanceId == instanceId)
                record = existing;
        if (!record) {
            record = std::make_shared<WriterRecord>();
            record->writerId = writerId;
            record->instanceId = instanceId;
            record->name = writer->name;
            document_.writers.push_back(record);
        }
        auto component = std::make_shared<ComponentRecord>();
        component->type = type;
        component->logicalPath = logicalPath && *logicalPath ? textOf(logicalPath) : std::nullopt;
        component->name = name;
        record->components.push_back(std::move(component));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PrepareForBackup(IVssAsync **async) override
    {
        return operation("BackupComponents.PrepareForBackup", async,
                         mode_ == Mode::Backup && backupStateSet_ && gathered_ && !prepared_, [this] {
                             prepared_ = true;
                             stepsRun_.insert("PrepareForBackup");
                             return S_OK;
                         });
    }
    HRESULT STDMETHODCALLTYPE AbortBackup() override
    {
        if (HRESULT injected = enterCall("BackupComponents.AbortBackup"))
            return injected;
        if (mode_ != Mode::Backup)
            return VSS_E_BAD_STATE;
        releaseSnapshots();
        mode_ = Mode::Aborted;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GatherWriterStatus(IVssAsync **async) override
    {
        return operation("BackupComponents.GatherWriterStatus", async, mode_ != Mode::Fresh, [this] {
            if (!gathered_)
                for (WriterMetadata &writer : declaredWriters())
                    writers_.push_back(std::make_shared<const WriterMetadata>(std::move(writer)));
            gathered_ = true;
            status_.emplace();
            for (const auto &writer : writers_)
                status_->push_back(statusOf(*writer));
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetWriterStatusCount(UINT *count) override
    {
        if (!count)
            return E_POINTER;
        *count = 0;
        if (HRESULT injected = enterCall("BackupComponents.GetWriterStatusCount"))
            return injected;
        if (!status_)
            return VSS_E_BAD_STATE;
        *count = static_cast<UINT>(status_->size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FreeWriterStatus() override
    {
        if (HRESULT injected = enterCall("BackupComponents.FreeWriterStatus"))
            return injected;
        status_.reset();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetWriterStatus(UINT index, VSS_ID *instance, VSS_ID *writer, BSTR *name,
                                              VSS_WRITER_STATE *state, HRESULT *failure) override
    {
        if (!instance || !writer || !name || !state || !failure)
            return E_POINTER;
        *instance = *writer = kNullId;
        *name = nullptr;
        *state = VSS_WS_UNKNOWN;
        *failure = S_OK;
        if (HRESULT injected = enterCall("BackupComponents.GetWriterStatus"))
            return injected;
        if (!status_)
            return VSS_E_BAD_STATE;
        if (index >= status_->size())
            return E_INVALIDARG;
        const WriterStatusEntry &entry = (*status_)[index];
        if (HRESULT result = makeBstr(entry.name, name))
            return result;
        *instance = entry.instanceId;
        *writer = entry.writerId;
        *state = entry.state;
        *failure = entry.failure;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetBackupSucceeded(VSS_ID instanceId, VSS_ID writerId, VSS_COMPONENT_TYPE,
                                                 LPCWSTR logicalPath, LPCWSTR name, boolean succeeded) override
    {
        if (HRESULT injected = enterCall("BackupComponents.SetBackupSucceeded"))
            return injected;
        if (mode_ != Mode::Backup || !snapshotsDone_ || completed_)
            return VSS_E_BAD_STATE;
        if (!name)
            return E_INVALIDARG;
        for (const auto &writer : document_.writers)
            if (writer->writerId == writerId && writer->instanceId != instanceId)
                return VSS_E_OBJECT_NOT_FOUND;
        auto component = document_.find(writerId, textOf(logicalPath), name);
        if (!component)
            return VSS_E_OBJECT_NOT_FOUND;
        component->backupSucceeded = succeeded;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetBackupOptions(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetSelectedForRestore(VSS_ID writerId, VSS_COMPONENT_TYPE, LPCWSTR logicalPath,
                                                    LPCWSTR name, boolean selected) override
    {
        if (HRESULT injected = enterCall("BackupComponents.SetSelectedForRestore"))
            return injected;
        if (mode_ != Mode::Restore || preRestored_)
            return VSS_E_BAD_STATE;
        if (!name)
            return E_INVALIDARG;
        auto component = document_.find(writerId, textOf(logicalPath), name);
        if (!component)
            return VSS_E_OBJECT_NOT_FOUND;
        component->selectedForRestore = selected;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetRestoreOptions(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetAdditionalRestores(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, boolean) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetPreviousBackupStamp(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SaveAsXML(BSTR *xml) override
    {
        if (!xml)
            return E_POINTER;
        *xml = nullptr;
        if (HRESULT injected = enterCall("BackupComponents.SaveAsXML"))
            return injected;
        if (mode_ != Mode::Backup && mode_ != Mode::Restore)
            return VSS_E_BAD_STATE;
        return makeBstr(toUtf16(writeBackupDocument(document_)), xml);
    }
    HRESULT STDMETHODCALLTYPE BackupComplete(IVssAsync **async) override
    {
        return operation("BackupComponents.BackupComplete", async, mode_ == Mode::Backup && snapshotsDone_ && !completed_,
                         [this] {
                             completed_ = true;
                             stepsRun_.insert("BackupComplete");
                             return S_OK;
                         });
    }
    HRESULT STDMETHODCALLTYPE AddAlternativeLocationMapping(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR,
                                                            LPCWSTR, boolean, LPCWSTR) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE AddRestoreSubcomponent(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR,
                                                     boolean) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetFileRestoreStatus(VSS_ID writerId, VSS_COMPONENT_TYPE, LPCWSTR logicalPath,
                                                   LPCWSTR name, VSS_FILE_RESTORE_STATUS status) override
    {
        if (HRESULT injected = enterCall("BackupComponents.SetFileRestoreStatus"))
            return injected;
        if (mode_ != Mode::Restore || !preRestored_ || postRestored_)
            return VSS_E_BAD_STATE;
        if (!name || status < VSS_RS_UNDEFINED || status > VSS_RS_FAILED)
            return E_INVALIDARG;
        auto component = document_.find(writerId, textOf(logicalPath), name);
        if (!component)
            return VSS_E_OBJECT_NOT_FOUND;
        component->fileRestoreStatus = status;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE AddNewTarget(VSS_ID writerId, VSS_COMPONENT_TYPE, LPCWSTR logicalPath, LPCWSTR name,
                                           LPCWSTR path, LPCWSTR fileName, boolean recursive,
                                           LPCWSTR alternatePath) override
    {
        if (HRESULT injected = enterCall("BackupComponents.AddNewTarget"))
            return injected;
        if (mode_ != Mode::Restore || preRestored_)
            return VSS_E_BAD_STATE;
        if (!name || !path || !fileName || !alternatePath)
            return E_INVALIDARG;
        auto component = document_.find(writerId, textOf(logicalPath), name);
        if (!component)
            return VSS_E_OBJECT_NOT_FOUND;
        component->newTargets.push_back({path, fileName, alternatePath, recursive != 0});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetRangesFilePath(VSS_ID, VSS_COMPONENT_TYPE, LPCWSTR, LPCWSTR, UINT, LPCWSTR) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PreRestore(IVssAsync **async) override
    {
        return operation("BackupComponents.PreRestore", async, mode_ == Mode::Restore && gathered_ && !preRestored_,
                         [this] {
                             preRestored_ = true;
                             stepsRun_.insert("PreRestore");
                             reportPreRestoreFailures();
                             return S_OK;
                         });
    }
    HRESULT STDMETHODCALLTYPE PostRestore(IVssAsync **async) override
    {
        return operation("BackupComponents.PostRestore", async, mode_ == Mode::Restore && preRestored_ && !postRestored_,
                         [this] {
                             postRestored_ = true;
                             stepsRun_.insert("PostRestore");
                             return S_OK;
                         });
    }
    HRESULT STDMETHODCALLTYPE SetContext(LONG context) override
    {
        if (HRESULT injected = enterCall("BackupComponents.SetContext"))
            return injected;
        if (mode_ != Mode::Backup || setStarted_)
            return VSS_E_BAD_STATE;
        return context == VSS_CTX_BACKUP ? S_OK : VSS_E_UNSUPPORTED_CONTEXT;
    }
    HRESULT STDMETHODCALLTYPE StartSnapshotSet(VSS_ID *setId) override
    {
        if (!setId)
            return E_POINTER;
        *setId = kNullId;
        if (HRESULT injected = enterCall("BackupComponents.StartSnapshotSet"))
            return injected;
        if (mode_ != Mode::Backup || !gathered_ || snapshotsDone_)
            return VSS_E_BAD_STATE;
        if (setStarted_)
            return VSS_E_SNAPSHOT_SET_IN_PROGRESS;
        setStarted_ = true;
        setId_ = newGuid();
        *setId = setId_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE AddToSnapshotSet(VSS_PWSZ volumeName, VSS_ID providerId, VSS_ID *snapshotId) override
    {
        if (!snapshotId)
            return E_POINTER;
        *snapshotId = kNullId;
        if (HRESULT injected = enterCall("BackupComponents.AddToSnapshotSet"))
            return injected;
        if (mode_ != Mode::Backup || !setStarted_ || snapshotsDone_)
            return VSS_E_BAD_STATE;
        Volume volume;
        if (HRESULT result = checkVolume(volumeName, providerId, volume))
            return result;
        if (!volume.supported)
            return providerId == kNullId ? VSS_E_VOLUME_NOT_SUPPORTED : VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER;
        for (const Pending &pending : pending_)
            if (pending.volume.letter == volume.letter)
                return VSS_E_OBJECT_ALREADY_EXISTS;
        if (pending_.size() >= kMaxVolumesPerSet)
            return VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED;
        if (snapshotsOfVolume(volume.letter) >= kMaxSnapshotsPerVolume)
            return VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED;
        pending_.push_back({newGuid(), volume});
        *snapshotId = pending_.back().id;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DoSnapshotSet(IVssAsync **async) override
    {
        return operation("BackupComponents.DoSnapshotSet", async,
                         mode_ == Mode::Backup && prepared_ && setStarted_ && !snapshotsDone_ && !pending_.empty(),
                         [this] { return freeze(); });
    }
    HRESULT STDMETHODCALLTYPE DeleteSnapshots(VSS_ID, VSS_OBJECT_TYPE, BOOL, LONG *deleted, VSS_ID *) override
    {
        if (deleted)
            *deleted = 0;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ImportSnapshots(IVssAsync **async) override { return notImplemented(async); }
    HRESULT STDMETHODCALLTYPE BreakSnapshotSet(VSS_ID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSnapshotProperties(VSS_ID snapshotId, VSS_SNAPSHOT_PROP *properties) override
    {
        if (!properties)
            return E_POINTER;
        *properties = VSS_SNAPSHOT_PROP{};
        if (HRESULT injected = enterCall("BackupComponents.GetSnapshotProperties"))
            return injected;
        if (mode_ == Mode::Fresh)
            return VSS_E_BAD_STATE;
        Snapshot snapshot;
        if (!findSnapshot(snapshotId, snapshot))
            return VSS_E_OBJECT_NOT_FOUND;
        std::u16string machine = toUtf16(machineSetting("computername", "WINSIM"));
        VSS_SNAPSHOT_PROP filled{};
        filled.m_SnapshotId = snapshot.id;
        filled.m_SnapshotSetId = snapshot.setId;
        filled.m_lSnapshotsCount = snapshot.setSize;
        filled.m_pwszSnapshotDeviceObject = taskText(snapshot.deviceName());
        filled.m_pwszOriginalVolumeName = taskText(snapshot.volumeName);
        filled.m_pwszOriginatingMachine = taskText(machine);
        filled.m_pwszServiceMachine = taskText(machine);
        filled.m_ProviderId = kProviderId;
        filled.m_lSnapshotAttributes = VSS_VOLSNAP_ATTR_NO_AUTORECOVERY | VSS_VOLSNAP_ATTR_DIFFERENTIAL;
        filled.m_tsCreationTimestamp = snapshot.created;
        filled.m_eStatus = VSS_SS_CREATED;
        if (!filled.m_pwszSnapshotDeviceObject || !filled.m_pwszOriginalVolumeName ||
            !filled.m_pwszOriginatingMachine || !filled.m_pwszServiceMachine) {
            CoTaskMemFree(filled.m_pwszSnapshotDeviceObject);
            CoTaskMemFree(filled.m_pwszOriginalVolumeName);
            CoTaskMemFree(filled.m_pwszOriginatingMachine);
            CoTaskMemFree(filled.m_pwszServiceMachine);
            return E_OUTOFMEMORY;
        }
        objectCreated("SnapshotProperties");
        *properties = filled;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Query(VSS_ID, VSS_OBJECT_TYPE, VSS_OBJECT_TYPE, IVssEnumObject **objects) override
    {
        if (objects)
            *objects = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE IsVolumeSupported(VSS_ID providerId, VSS_PWSZ volumeName, BOOL *supported) override
    {
        if (!supported)
            return E_POINTER;
        *supported = FALSE;
        if (HRESULT injected = enterCall("BackupComponents.IsVolumeSupported"))
            return injected;
        if (mode_ == Mode::Fresh)
            return VSS_E_BAD_STATE;
        Volume volume;
        if (HRESULT result = checkVolume(volumeName, providerId, volume))
            return result;
        *supported = volume.supported;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DisableWriterClasses(const VSS_ID *, UINT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnableWriterClasses(const VSS_ID *, UINT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DisableWriterInstances(const VSS_ID *, UINT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ExposeSnapshot(VSS_ID, VSS_PWSZ, LONG, VSS_PWSZ, VSS_PWSZ *exposed) override
    {
        if (exposed)
            *exposed = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RevertToSnapshot(VSS_ID, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryRevertStatus(VSS_PWSZ, IVssAsync **async) override { return notImplemented(async); }

private:
    enum class Mode { Fresh, Backup, Restore, Aborted };

    struct Pending {
        VSS_ID id;
        Volume volume;
    };

    static HRESULT notImplemented(IVssAsync **async)
    {
        if (async)
            *async = nullptr;
        return E_NOTIMPL;
    }

    // An asynchronous step: allowed now or VSS_E_BAD_STATE; when allowed, it runs at once unless
    // the machine makes it end otherwise, and the IVssAsync reports how it ended.
    template <typename Work>
    HRESULT operation(const char *call, IVssAsync **async, bool allowed, Work work)
    {
        if (!async)
            return E_POINTER;
        *async = nullptr;
        if (HRESULT injected = enterCall(call))
            return injected;
        if (!allowed)
            return VSS_E_BAD_STATE;
        HRESULT status = asyncOutcome(call);
        if (status == S_OK || status == VSS_S_ASYNC_FINISHED) {
            HRESULT result = work();
            if (FAILED(result))
                status = result;
        }
        *async = newAsync(status);
        return S_OK;
    }

    static HRESULT checkVolume(VSS_PWSZ name, const VSS_ID &providerId, Volume &volume)
    {
        if (!name)
            return E_INVALIDARG;
        if (providerId != kNullId && providerId != kProviderId)
            return VSS_E_PROVIDER_NOT_REGISTERED;
        return findVolume(name, volume);
    }

    HRESULT freeze()
    {
        std::vector<Snapshot> made;
        for (const Pending &pending : pending_) {
            Snapshot snapshot;
            snapshot.id = pending.id;
            snapshot.setId = setId_;
            snapshot.setSize = static_cast<LONG>(pending_.size());
            if (HRESULT result = createSnapshot(pending.volume, snapshot)) {
                for (const Snapshot &undone : made)
                    deleteSnapshot(undone.number);
                return result;
            }
            made.push_back(snapshot);
        }
        for (const Snapshot &snapshot : made)
            snapshots_.push_back(snapshot.number);
        snapshotsDone_ = true;
        stepsRun_.insert("DoSnapshotSet");
        return S_OK;
    }

    void releaseSnapshots()
    {
        for (unsigned long number : snapshots_)
            deleteSnapshot(number);
        snapshots_.clear();
    }

    WriterStatusEntry statusOf(const WriterMetadata &writer) const
    {
        WriterStatusEntry entry{writer.instanceId, writer.writerId, writer.name, VSS_WS_STABLE, S_OK};
        if (mode_ == Mode::Backup && snapshotsDone_ && !completed_)
            entry.state = VSS_WS_WAITING_FOR_BACKUP_COMPLETE;
        if (writer.status && (writer.status->after.empty() || stepsRun_.count(writer.status->after))) {
            entry.state = writer.status->state;
            entry.failure = writer.status->failure;
        }
        // The machine configuration can make any writer report a state or failure.
        std::string key = "vss.writer." + toUtf8(writer.name.value_or(u"")) + ".";
        if (auto state = parseHresult(machineSetting(key + "state", "")))
            entry.state = static_cast<VSS_WRITER_STATE>(*state);
        if (auto failure = parseHresult(machineSetting(key + "failure", "")))
            entry.failure = *failure;
        return entry;
    }

    // Writers whose declaration gives a component a pre-restore failure report it now.
    void reportPreRestoreFailures()
    {
        for (const auto &record : document_.writers) {
            for (const auto &writer : writers_) {
                if (writer->writerId != record->writerId)
                    continue;
                for (const DeclaredComponent &declared : writer->components)
                    for (const auto &component : record->components)
                        if (component->selectedForRestore && declared.preRestoreFailure &&
                            sameText(declared.logicalPath, component->logicalPath) &&
                            sameText(declared.name, component->name))
                            component->preRestoreFailure = declared.preRestoreFailure;
            }
        }
    }

    Mode mode_ = Mode::Fresh;
    bool backupStateSet_ = false;
    bool gathered_ = false;      // the writers are known
    bool metadataHeld_ = false;  // their metadata list is held (until FreeWriterMetadata)
    std::vector<std::shared_ptr<const WriterMetadata>> writers_;
    bool prepared_ = false;
    bool setStarted_ = false;
    VSS_ID setId_ = {};
    std::vector<Pending> pending_;
    bool snapshotsDone_ = false;
    std::vector<unsigned long> snapshots_;
    bool completed_ = false;
    bool preRestored_ = false;
    bool postRestored_ = false;
    std::set<std::string> stepsRun_;
    std::optional<std::vector<WriterStatusEntry>> status_;
    BackupDocument document_;
};

}  // namespace

}  // namespace winsim::vss

using namespace winsim;
using namespace winsim::vss;

extern "C" {

HRESULT STDAPICALLTYPE CreateVssBackupComponentsInternal(IVssBackupComponents **backup)
{
    if (!backup)
        return E_POINTER;
    *backup = nullptr;
    if (HRESULT injected = enterCall("CreateVssBackupComponents"))
        return injected;
    // A requester needs the rights of an administrator or backup operator.
    if (!hasAdministrativeRights())
        return E_ACCESSDENIED;
    *backup = new BackupComponents;
    return S_OK;
}

void APIENTRY VssFreeSnapshotPropertiesInternal(VSS_SNAPSHOT_PROP *properties)
{
    enterCall("VssFreeSnapshotProperties", Reach::local);
    if (!properties)
        return;
    if (properties->m_pwszSnapshotDeviceObject)
        objectDestroyed("SnapshotProperties");
    for (VSS_PWSZ *text : {&properties->m_pwszSnapshotDeviceObject, &properties->m_pwszOriginalVolumeName,
                           &properties->m_pwszOriginatingMachine, &properties->m_pwszServiceMachine,
                           &properties->m_pwszExposedName, &properties->m_pwszExposedPath}) {
        CoTaskMemFree(*text);
        *text = nullptr;
    }
}

}  // extern "C"
