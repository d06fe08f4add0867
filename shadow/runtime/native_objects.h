// The native objects whose addresses Java holds as long handles: each owns one reference to the
// service's interface it stands for, and keeps what it has already asked the service for.
#pragma once

#include "conversions.h"
#include "errors.h"

#include <windows.h>
#include <vsbackup.h>

#include <jni.h>

#include <cstdint>
#include <type_traits>

namespace shadelink {

class ComObjectHolder {
public:
    explicit ComObjectHolder(IUnknown *owned) : ownedInterface(owned) {}
    virtual ~ComObjectHolder();
    ComObjectHolder(const ComObjectHolder &) = delete;
    ComObjectHolder &operator=(const ComObjectHolder &) = delete;

protected:
    IUnknown *ownedInterface;
};

class NativeBackupComponents : public ComObjectHolder {
public:
    NativeBackupComponents(IVssBackupComponents *backup, bool comInitialised)
        : ComObjectHolder(backup), backup(backup), comInitialised(comInitialised)
    {
    }
    ~NativeBackupComponents() override;

    IVssBackupComponents *backup;
    bool statusGathered = false;
    bool metadataGathered = false;
    // Whether the thread's COM initialisation made for this object succeeded, and so is undone
    // when it is deleted.
    bool comInitialised;
};

class NativeWriterMetaData : public ComObjectHolder {
public:
    explicit NativeWriterMetaData(IVssExamineWriterMetadata *metadata) : ComObjectHolder(metadata), metadata(metadata)
    {
    }

    UINT excludeFileCount = 0;
    UINT componentCount = 0;
    IVssExamineWriterMetadata *metadata;
    VSS_ID instanceId = {};
    VSS_ID writerId = {};
    VSS_USAGE_TYPE usageType = VSS_UT_UNDEFINED;
    VSS_SOURCE_TYPE sourceType = VSS_ST_UNDEFINED;
    OwnedString nameText;
    bool identityLoaded = false;
};

class NativeWMComponent : public ComObjectHolder {
public:
    explicit NativeWMComponent(IVssWMComponent *component) : ComObjectHolder(component), component(component) {}
    ~NativeWMComponent() override;

    PVSSCOMPONENTINFO componentInfo = nullptr;
    IVssWMComponent *component;
};

class NativeFileDescriptor : public ComObjectHolder {
public:
    explicit NativeFileDescriptor(IVssWMFiledesc *file) : ComObjectHolder(file), file(file) {}

    OwnedString pathText;
    OwnedString specText;
    IVssWMFiledesc *file;
};

class NativeWriterComponents : public ComObjectHolder {
public:
    NativeWriterComponents(IUnknown *unknown, IVssWriterComponents *components)
        : ComObjectHolder(unknown), components(components)
    {
    }

    IVssWriterComponents *components;
};

class NativeComponent : public ComObjectHolder {
public:
    explicit NativeComponent(IVssComponent *component) : ComObjectHolder(component), component(component) {}

    IVssComponent *component;
    OwnedString nameText;
    OwnedString logicalPathText;
    OwnedString failureMsgText;
};

inline jlong toHandle(ComObjectHolder *object)
{
    return static_cast<jlong>(reinterpret_cast<intptr_t>(object));
}

// The native object of a handle (null for 0), as the class the native belongs to.
template <typename Native>
Native *nativeObject(jlong handle)
{
    return static_cast<Native *>(reinterpret_cast<ComObjectHolder *>(static_cast<intptr_t>(handle)));
}

// As nativeObject, raising NullPointerException "" for the handle 0.
template <typename Native>
Native *requireObject(JNIEnv *env, jlong handle)
{
    if (handle == 0) {
        throwNullPointer(env);
        return nullptr;
    }
    return nativeObject<Native>(handle);
}

// The IUnknown part of an IVssWriterComponentsExt, which the SDK declares as deriving from
// IVssWriterComponents and IUnknown. Some SDK headers leave the IUnknown base out; the object
// still has it, right after its IVssWriterComponents part.
template <typename Ext>
IUnknown *unknownPartOf(Ext *components)
{
    if constexpr (std::is_base_of_v<IUnknown, Ext>)
        return static_cast<IUnknown *>(components);
    else
        return reinterpret_cast<IUnknown *>(reinterpret_cast<void **>(components) + 1);
}

}  // namespace shadelink
