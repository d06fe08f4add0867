#include "vssapi/writer_components.h"

#include "vssapi/examine_metadata.h"
#include "vssapi/service.h"

extern "C" const IID IID_IVssComponent = {0xd2c72c96, 0xc121, 0x4518, {0xb6, 0x27, 0xe5, 0xa9, 0x3d, 0x01, 0x0e, 0xad}};

namespace winsim::vss {

namespace {

template <typename T>
HRESULT start(const char *call, T *out, T empty)
{
    if (!out)
        return E_POINTER;
    *out = empty;
    return enterCall(call);
}

class Component final : public ComObject<IVssComponent> {
public:
    explicit Component(std::shared_ptr<const ComponentRecord> record)
        : ComObject("Component", &IID_IVssComponent), record_(std::move(record))
    {
    }

    HRESULT STDMETHODCALLTYPE GetLogicalPath(BSTR *path) override
    {
        if (HRESULT result = start<BSTR>("Component.GetLogicalPath", path, nullptr))
            return result;
        if (!record_->logicalPath || record_->logicalPath->empty())
            return S_FALSE;
        return makeBstr(record_->logicalPath, path);
    }
    HRESULT STDMETHODCALLTYPE GetComponentType(VSS_COMPONENT_TYPE *type) override
    {
        if (HRESULT result = start("Component.GetComponentType", type, VSS_CT_UNDEFINED))
            return result;
        *type = record_->type;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetComponentName(BSTR *name) override
    {
        if (HRESULT result = start<BSTR>("Component.GetComponentName", name, nullptr))
            return result;
        return makeBstr(record_->name, name);
    }
    HRESULT STDMETHODCALLTYPE GetBackupSucceeded(boolean *succeeded) override
    {
        if (HRESULT result = start<boolean>("Component.GetBackupSucceeded", succeeded, 0))
            return result;
        *succeeded = record_->backupSucceeded;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAlternateLocationMappingCount(UINT *count) override
    {
        return start<UINT>("Component.GetAlternateLocationMappingCount", count, 0);
    }
    HRESULT STDMETHODCALLTYPE GetAlternateLocationMapping(UINT, IVssWMFiledesc **file) override
    {
        if (HRESULT result = start<IVssWMFiledesc *>("Component.GetAlternateLocationMapping", file, nullptr))
            return result;
        return E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE SetBackupMetadata(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBackupMetadata(BSTR *data) override { return none(data); }
    HRESULT STDMETHODCALLTYPE AddPartialFile(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPartialFileCount(UINT *count) override
    {
        return start<UINT>("Component.GetPartialFileCount", count, 0);
    }
    HRESULT STDMETHODCALLTYPE GetPartialFile(UINT, BSTR *, BSTR *, BSTR *, BSTR *) override { return E_INVALIDARG; }
    HRESULT STDMETHODCALLTYPE IsSelectedForRestore(boolean *selected) override
    {
        if (HRESULT result = start<boolean>("Component.IsSelectedForRestore", selected, 0))
            return result;
        *selected = record_->selectedForRestore;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAdditionalRestores(boolean *additional) override
    {
        return start<boolean>("Component.GetAdditionalRestores", additional, 0);
    }
    HRESULT STDMETHODCALLTYPE GetNewTargetCount(UINT *count) override
    {
        if (HRESULT result = start<UINT>("Component.GetNewTargetCount", count, 0))
            return result;
        *count = static_cast<UINT>(record_->newTargets.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetNewTarget(UINT index, IVssWMFiledesc **file) override
    {
        if (HRESULT result = start<IVssWMFiledesc *>("Component.GetNewTarget", file, nullptr))
            return result;
        if (index >= record_->newTargets.size())
            return E_INVALIDARG;
        const NewTarget &target = record_->newTargets[index];
        FileSet files;
        files.path = target.path;
        files.filespec = target.fileName;
        files.alternate = target.alternatePath;
        files.recursive = target.recursive;
        *file = newFiledesc(files);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE AddDirectedTarget(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDirectedTargetCount(UINT *count) override
    {
        return start<UINT>("Component.GetDirectedTargetCount", count, 0);
    }
    HRESULT STDMETHODCALLTYPE GetDirectedTarget(UINT, BSTR *, BSTR *, BSTR *, BSTR *, BSTR *, BSTR *) override
    {
        return E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE SetRestoreMetadata(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRestoreMetadata(BSTR *data) override { return none(data); }
    HRESULT STDMETHODCALLTYPE SetRestoreTarget(VSS_RESTORE_TARGET) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRestoreTarget(VSS_RESTORE_TARGET *target) override
    {
        if (HRESULT result = start("Component.GetRestoreTarget", target, VSS_RT_UNDEFINED))
            return result;
        *target = record_->newTargets.empty() ? VSS_RT_ORIGINAL : VSS_RT_ALTERNATE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetPreRestoreFailureMsg(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPreRestoreFailureMsg(BSTR *message) override
    {
        if (HRESULT result = start<BSTR>("Component.GetPreRestoreFailureMsg", message, nullptr))
            return result;
        if (!record_->preRestoreFailure)
            return S_FALSE;
        return makeBstr(record_->preRestoreFailure, message);
    }
    HRESULT STDMETHODCALLTYPE SetPostRestoreFailureMsg(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPostRestoreFailureMsg(BSTR *message) override { return none(message); }
    HRESULT STDMETHODCALLTYPE SetBackupStamp(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBackupStamp(BSTR *stamp) override { return none(stamp); }
    HRESULT STDMETHODCALLTYPE GetPreviousBackupStamp(BSTR *stamp) override { return none(stamp); }
    HRESULT STDMETHODCALLTYPE GetBackupOptions(BSTR *options) override { return none(options); }
    HRESULT STDMETHODCALLTYPE GetRestoreOptions(BSTR *options) override { return none(options); }
    HRESULT STDMETHODCALLTYPE GetRestoreSubcomponentCount(UINT *count) override
    {
        return start<UINT>("Component.GetRestoreSubcomponentCount", count, 0);
    }
    HRESULT STDMETHODCALLTYPE GetRestoreSubcomponent(UINT, BSTR *, BSTR *, boolean *) override { return E_INVALIDARG; }
    HRESULT STDMETHODCALLTYPE GetFileRestoreStatus(VSS_FILE_RESTORE_STATUS *status) override
    {
        if (HRESULT result = start("Component.GetFileRestoreStatus", status, VSS_RS_UNDEFINED))
            return result;
        *status = record_->fileRestoreStatus;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE AddDifferencedFilesByLastModifyTime(LPCWSTR, LPCWSTR, BOOL, FILETIME) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE AddDifferencedFilesByLastModifyLSN(LPCWSTR, LPCWSTR, BOOL, BSTR) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDifferencedFilesCount(UINT *count) override
    {
        return start<UINT>("Component.GetDifferencedFilesCount", count, 0);
    }
    HRESULT STDMETHODCALLTYPE GetDifferencedFile(UINT, BSTR *, BSTR *, BOOL *, BSTR *, FILETIME *) override
    {
        return E_INVALIDARG;
    }

private:
    // A text the stand-in never records: absent.
    static HRESULT none(BSTR *out)
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        return S_FALSE;
    }

    std::shared_ptr<const ComponentRecord> record_;
};

class WriterComponents final : public ComObject<IVssWriterComponentsExt> {
public:
    explicit WriterComponents(std::shared_ptr<const WriterRecord> writer)
        : ComObject("WriterComponents", nullptr), writer_(std::move(writer))
    {
    }

    HRESULT STDMETHODCALLTYPE GetComponentCount(UINT *count) override
    {
        if (HRESULT result = start<UINT>("WriterComponents.GetComponentCount", count, 0))
            return result;
        *count = static_cast<UINT>(writer_->components.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetWriterInfo(VSS_ID *instance, VSS_ID *writer) override
    {
        if (!instance || !writer)
            return E_POINTER;
        *instance = *writer = kNullId;
        if (HRESULT injected = enterCall("WriterComponents.GetWriterInfo"))
            return injected;
        *instance = writer_->instanceId;
        *writer = writer_->writerId;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetComponent(UINT index, IVssComponent **component) override
    {
        if (HRESULT result = start<IVssComponent *>("WriterComponents.GetComponent", component, nullptr))
            return result;
        if (index >= writer_->components.size())
            return E_INVALIDARG;
        *component = new Component(writer_->components[index]);
        return S_OK;
    }

private:
    std::shared_ptr<const WriterRecord> writer_;
};

}  // namespace

IVssWriterComponentsExt *newWriterComponents(std::shared_ptr<const WriterRecord> writer)
{
    return new WriterComponents(std::move(writer));
}

}  // namespace winsim::vss
