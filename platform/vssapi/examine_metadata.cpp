#include "vssapi/examine_metadata.h"

#include "machine/text.h"
#include "vssapi/service.h"

extern "C" const IID IID_IVssExamineWriterMetadata = {
    0x902fcf7f, 0xb7fd, 0x42f8, {0x81, 0xf1, 0xb2, 0xe4, 0x00, 0xb1, 0xe5, 0xbd}};

namespace winsim::vss {

namespace {

// Every backup and snapshot kind: the writer puts no condition on the files.
constexpr DWORD kAllBackupTypes = 0x0F0F;

class Filedesc final : public ComObject<IVssWMFiledesc> {
public:
    explicit Filedesc(FileSet files) : ComObject("WMFiledesc", nullptr), files_(std::move(files)) {}

    HRESULT STDMETHODCALLTYPE GetPath(BSTR *path) override { return text("WMFiledesc.GetPath", files_.path, path); }
    HRESULT STDMETHODCALLTYPE GetFilespec(BSTR *filespec) override
    {
        return text("WMFiledesc.GetFilespec", files_.filespec, filespec);
    }
    HRESULT STDMETHODCALLTYPE GetRecursive(boolean *recursive) override
    {
        if (!recursive)
            return E_POINTER;
        *recursive = 0;
        if (HRESULT injected = enterCall("WMFiledesc.GetRecursive"))
            return injected;
        *recursive = files_.recursive;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAlternateLocation(BSTR *alternate) override
    {
        return text("WMFiledesc.GetAlternateLocation", files_.alternate, alternate);
    }
    HRESULT STDMETHODCALLTYPE GetBackupTypeMask(DWORD *mask) override
    {
        if (!mask)
            return E_POINTER;
        *mask = 0;
        if (HRESULT injected = enterCall("WMFiledesc.GetBackupTypeMask"))
            return injected;
        *mask = kAllBackupTypes;
        return S_OK;
    }

private:
    static HRESULT text(const char *call, const Text &value, BSTR *out)
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (HRESULT injected = enterCall(call))
            return injected;
        return makeBstr(value, out);
    }

    FileSet files_;
};

HRESULT fileAt(const std::vector<FileSet> &files, UINT index, IVssWMFiledesc **out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (index >= files.size())
        return E_INVALIDARG;
    *out = newFiledesc(files[index]);
    return S_OK;
}

class WMComponent final : public ComObject<IVssWMComponent> {
public:
    WMComponent(std::shared_ptr<const WriterMetadata> metadata, const DeclaredComponent &component)
        : ComObject("WMComponent", nullptr), metadata_(std::move(metadata)), component_(component)
    {
    }

    HRESULT STDMETHODCALLTYPE GetComponentInfo(PVSSCOMPONENTINFO *info) override
    {
        if (!info)
            return E_POINTER;
        *info = nullptr;
        if (HRESULT injected = enterCall("WMComponent.GetComponentInfo"))
            return injected;
        auto *block = new (std::nothrow) VSS_COMPONENTINFO{};
        if (!block)
            return E_OUTOFMEMORY;
        block->type = component_.type;
        HRESULT result = S_OK;
        if (FAILED(result = makeBstr(component_.logicalPath, &block->bstrLogicalPath)) ||
            FAILED(result = makeBstr(component_.name, &block->bstrComponentName)) ||
            FAILED(result = makeBstr(component_.caption, &block->bstrCaption))) {
            freeBlock(block);
            return result;
        }
        block->bRestoreMetadata = component_.restoreMetadata;
        block->bNotifyOnBackupComplete = component_.notifyOnBackupComplete;
        block->bSelectable = component_.selectable;
        block->bSelectableForRestore = component_.selectableForRestore;
        block->dwComponentFlags = component_.flags;
        block->cFileCount = static_cast<UINT>(component_.files.size());
        block->cDatabases = static_cast<UINT>(component_.databases.size());
        block->cLogFiles = static_cast<UINT>(component_.logs.size());
        block->cDependencies = static_cast<UINT>(component_.dependencies.size());
        objectCreated("ComponentInfo");
        *info = block;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FreeComponentInfo(PVSSCOMPONENTINFO info) override
    {
        if (HRESULT injected = enterCall("WMComponent.FreeComponentInfo", Reach::local))
            return injected;
        if (!info)
            return E_INVALIDARG;
        freeBlock(const_cast<VSS_COMPONENTINFO *>(info));
        objectDestroyed("ComponentInfo");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetFile(UINT index, IVssWMFiledesc **file) override
    {
        if (HRESULT injected = enterCall("WMComponent.GetFile"))
            return clear(file, injected);
        return fileAt(component_.files, index, file);
    }
    HRESULT STDMETHODCALLTYPE GetDatabaseFile(UINT index, IVssWMFiledesc **file) override
    {
        if (HRESULT injected = enterCall("WMComponent.GetDatabaseFile"))
            return clear(file, injected);
        return fileAt(component_.databases, index, file);
    }
    HRESULT STDMETHODCALLTYPE GetDatabaseLogFile(UINT index, IVssWMFiledesc **file) override
    {
        if (HRESULT injected = enterCall("WMComponent.GetDatabaseLogFile"))
            return clear(file, injected);
        return fileAt(component_.logs, index, file);
    }
    HRESULT STDMETHODCALLTYPE GetDependency(UINT, IVssWMDependency **dependency) override
    {
        if (dependency)
            *dependency = nullptr;
        return E_NOTIMPL;
    }

private:
    static HRESULT clear(IVssWMFiledesc **file, HRESULT result)
    {
        if (file)
            *file = nullptr;
        return result;
    }

    static void freeBlock(VSS_COMPONENTINFO *block)
    {
        SysFreeString(block->bstrLogicalPath);
        SysFreeString(block->bstrComponentName);
        SysFreeString(block->bstrCaption);
        delete block;
    }

    std::shared_ptr<const WriterMetadata> metadata_;  // keeps component_ alive
    const DeclaredComponent &component_;
};

class ExamineWriterMetadata final : public ComObject<IVssExamineWriterMetadata> {
public:
    explicit ExamineWriterMetadata(std::shared_ptr<const WriterMetadata> metadata)
        : ComObject("ExamineWriterMetadata", &IID_IVssExamineWriterMetadata), metadata_(std::move(metadata))
    {
    }

    HRESULT STDMETHODCALLTYPE GetIdentity(VSS_ID *instance, VSS_ID *writer, BSTR *name, VSS_USAGE_TYPE *usage,
                                          VSS_SOURCE_TYPE *source) override
    {
        if (!instance || !writer || !name || !usage || !source)
            return E_POINTER;
        *instance = *writer = kNullId;
        *name = nullptr;
        *usage = VSS_UT_UNDEFINED;
        *source = VSS_ST_UNDEFINED;
        if (HRESULT injected = enterCall("ExamineWriterMetadata.GetIdentity"))
            return injected;
        if (HRESULT result = makeBstr(metadata_->name, name))
            return result;
        *instance = metadata_->instanceId;
        *writer = metadata_->writerId;
        *usage = metadata_->usage;
        *source = metadata_->source;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetFileCounts(UINT *includes, UINT *excludes, UINT *components) override
    {
        if (!includes || !excludes || !components)
            return E_POINTER;
        *includes = *excludes = *components = 0;
        if (HRESULT injected = enterCall("ExamineWriterMetadata.GetFileCounts"))
            return injected;
        *includes = static_cast<UINT>(metadata_->includes.size());
        *excludes = static_cast<UINT>(metadata_->excludes.size());
        *components = static_cast<UINT>(metadata_->components.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIncludeFile(UINT index, IVssWMFiledesc **file) override
    {
        if (HRESULT injected = enterCall("ExamineWriterMetadata.GetIncludeFile"))
            return injected;
        return fileAt(metadata_->includes, index, file);
    }
    HRESULT STDMETHODCALLTYPE GetExcludeFile(UINT index, IVssWMFiledesc **file) override
    {
        if (HRESULT injected = enterCall("ExamineWriterMetadata.GetExcludeFile"))
            return injected;
        return fileAt(metadata_->excludes, index, file);
    }
    HRESULT STDMETHODCALLTYPE GetComponent(UINT index, IVssWMComponent **component) override
    {
        if (!component)
            return E_POINTER;
        *component = nullptr;
        if (HRESULT injected = enterCall("ExamineWriterMetadata.GetComponent"))
            return injected;
        if (index >= metadata_->components.size())
            return E_INVALIDARG;
        *component = new WMComponent(metadata_, metadata_->components[index]);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetRestoreMethod(VSS_RESTOREMETHOD_ENUM *method, BSTR *service, BSTR *userProcedure,
                                               VSS_WRITERRESTORE_ENUM *writerRestore, boolean *rebootRequired,
                                               UINT *mappings) override
    {
        if (!method || !service || !userProcedure || !writerRestore || !rebootRequired || !mappings)
            return E_POINTER;
        *method = VSS_RME_UNDEFINED;
        *service = *userProcedure = nullptr;
        *writerRestore = VSS_WRE_UNDEFINED;
        *rebootRequired = 0;
        *mappings = 0;
        if (HRESULT injected = enterCall("ExamineWriterMetadata.GetRestoreMethod"))
            return injected;
        const auto &restore = metadata_->restoreMethod;
        if (!restore)
            return S_FALSE;  // the writer declares no restore method
        if (HRESULT result = makeBstr(restore->service, service))
            return result;
        if (HRESULT result = makeBstr(restore->userProcedure, userProcedure)) {
            SysFreeString(*service);
            *service = nullptr;
            return result;
        }
        *method = restore->method;
        *writerRestore = restore->writerRestore;
        *rebootRequired = restore->rebootRequired;
        *mappings = static_cast<UINT>(metadata_->alternateMappings.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAlternateLocationMapping(UINT index, IVssWMFiledesc **file) override
    {
        if (HRESULT injected = enterCall("ExamineWriterMetadata.GetAlternateLocationMapping"))
            return injected;
        return fileAt(metadata_->alternateMappings, index, file);
    }
    HRESULT STDMETHODCALLTYPE GetBackupSchema(DWORD *schema) override
    {
        if (!schema)
            return E_POINTER;
        *schema = 0;
        return enterCall("ExamineWriterMetadata.GetBackupSchema");
    }
    HRESULT STDMETHODCALLTYPE GetDocument(IXMLDOMDocument **document) override
    {
        if (document)
            *document = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SaveAsXML(BSTR *xml) override
    {
        if (!xml)
            return E_POINTER;
        *xml = nullptr;
        if (HRESULT injected = enterCall("ExamineWriterMetadata.SaveAsXML"))
            return injected;
        return makeBstr(toUtf16(writeWriterMetadata(*metadata_)), xml);
    }
    HRESULT STDMETHODCALLTYPE LoadFromXML(BSTR xml) override
    {
        if (HRESULT injected = enterCall("ExamineWriterMetadata.LoadFromXML"))
            return injected;
        if (!xml)
            return E_INVALIDARG;
        auto loaded = std::make_shared<WriterMetadata>();
        if (HRESULT result = parseWriterMetadata(bstrText(xml), *loaded))
            return result;
        loaded->status.reset();
        metadata_ = std::move(loaded);
        return S_OK;
    }

private:
    std::shared_ptr<const WriterMetadata> metadata_;
};

}  // namespace

std::string bstrText(BSTR text)
{
    return toUtf8(std::u16string_view(text ? text : u"", SysStringLen(text)));
}

IVssExamineWriterMetadata *newExamineWriterMetadata(std::shared_ptr<const WriterMetadata> metadata)
{
    return new ExamineWriterMetadata(std::move(metadata));
}

IVssWMFiledesc *newFiledesc(const FileSet &files)
{
    return new Filedesc(files);
}

}  // namespace winsim::vss

using namespace winsim::vss;

extern "C" HRESULT STDAPICALLTYPE CreateVssExamineWriterMetadataInternal(BSTR xml, IVssExamineWriterMetadata **out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (HRESULT injected = enterCall("CreateVssExamineWriterMetadata"))
        return injected;
    if (!xml)
        return E_INVALIDARG;
    auto metadata = std::make_shared<WriterMetadata>();
    if (HRESULT result = parseWriterMetadata(bstrText(xml), *metadata))
        return result;
    metadata->status.reset();
    *out = newExamineWriterMetadata(std::move(metadata));
    return S_OK;
}
