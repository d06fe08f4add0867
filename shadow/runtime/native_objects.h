// The native objects whose addresses Java holds as long handles: each owns one reference to the
// service's interface it stands for, and keeps what it has already asked the service for. Each is
// registered in the library's table of live objects with its kind from construction to
// destruction, and a handle that comes back from Java is looked up there before it is used.
#pragma once

#include "conversions.h"
#include "errors.h"

#include "natives/common/live_object_table.h"

#include <windows.h>
#include <vsbackup.h>

#include <jni.h>

#include <cstdint>
#include <thread>
#include <type_traits>

namespace shadelink {

// One kind per class of native object, so that a handle of one class passed where another is
// expected is refused.
enum class ObjectKind : uint8_t {
    none = 0,
    backupComponents,
    writerMetaData,
    wmComponent,
    fileDescriptor,
    writerComponents,
    component,
};

// The Java class that holds handles of a kind ("Component"), for messages.
const char *javaClassOf(ObjectKind kind);

using LiveObjects = jnihandles::LiveObjectTable<ObjectKind>;

// The live native objects of the library.
LiveObjects &liveObjects();

class ComObjectHolder {
public:
    // Registers the object as live with its kind; the destructor takes it out again.
    ComObjectHolder(IUnknown *owned, ObjectKind kind) : ownedInterface(owned) { liveObjects().add(this, kind); }
    virtual ~ComObjectHolder();
    ComObjectHolder(const ComObjectHolder &) = delete;
    ComObjectHolder &operator=(const ComObjectHolder &) = delete;

protected:
    IUnknown *ownedInterface;
};

class NativeBackupComponents : public ComObjectHolder {
public:
    static constexpr ObjectKind kKind = ObjectKind::backupComponents;
    NativeBackupComponents(IVssBackupComponents *backup, bool comInitialised)
        : ComObjectHolder(backup, kKind), backup(backup), comInitialised(comInitialised)
    {
    }
    ~NativeBackupComponents() override;

    IVssBackupComponents *backup;
    bool statusGathered = false;
    bool metadataGathered = false;
    // Whether the thread's COM initialisation made for this object succeeded, and so is undone
    // when it is deleted on that thread.
    bool comInitialised;
    // The thread that made the object, whose COM initialisation it holds: COM is per thread, so
    // a deletion on another thread cannot undo it, and must not undo that thread's own.
    std::thread::id creatorThread = std::this_thread::get_id();
};

class NativeWriterMetaData : public ComObjectHolder {
public:
    static constexpr ObjectKind kKind = ObjectKind::writerMetaData;
    explicit NativeWriterMetaData(IVssExamineWriterMetadata *metadata)
        : ComObjectHolder(metadata, kKind), metadata(metadata)
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
    static constexpr ObjectKind kKind = ObjectKind::wmComponent;
    explicit NativeWMComponent(IVssWMComponent *component) : ComObjectHolder(component, kKind), component(component) {}
    ~NativeWMComponent() override;

    PVSSCOMPONENTINFO componentInfo = nullptr;
    IVssWMComponent *component;
};

class NativeFileDescriptor : public ComObjectHolder {
public:
    static constexpr ObjectKind kKind = ObjectKind::fileDescriptor;
    explicit NativeFileDescriptor(IVssWMFiledesc *file) : ComObjectHolder(file, kKind), file(file) {}

    OwnedString pathText;
    OwnedString specText;
    IVssWMFiledesc *file;
};

class NativeWriterComponents : public ComObjectHolder {
public:
    static constexpr ObjectKind kKind = ObjectKind::writerComponents;
    NativeWriterComponents(IUnknown *unknown, IVssWriterComponents *components)
        : ComObjectHolder(unknown, kKind), components(components)
    {
    }

    IVssWriterComponents *components;
};

class NativeComponent : public ComObjectHolder {
public:
    static constexpr ObjectKind kKind = ObjectKind::component;
    explicit NativeComponent(IVssComponent *component) : ComObjectHolder(component, kKind), component(component) {}

    IVssComponent *component;
    OwnedString nameText;
    OwnedString logicalPathText;
    OwnedString failureMsgText;
};

inline jlong toHandle(ComObjectHolder *object)
{
    return static_cast<jlong>(reinterpret_cast<intptr_t>(object));
}

// Raises VssException for a non-zero handle that is no live object of the expected kind (unknown,
// deleted already, or of another class).
void throwInvalidHandle(JNIEnv *env, jlong handle, ObjectKind expected);

// The native object of a handle, as the class the native belongs to: null for 0, and null after
// raising VssException for a handle that is not a live object of that class.
template <typename Native>
Native *nativeObject(JNIEnv *env, jlong handle)
{
    if (handle == 0)
        return nullptr;
    auto *object = reinterpret_cast<ComObjectHolder *>(static_cast<intptr_t>(handle));
    if (!liveObjects().contains(object, Native::kKind)) {
        throwInvalidHandle(env, handle, Native::kKind);
        return nullptr;
    }
    return static_cast<Native *>(object);
}

// As nativeObject, raising NullPointerException "" for the handle 0.
template <typename Native>
Native *requireObject(JNIEnv *env, jlong handle)
{
    if (handle == 0) {
        throwNullPointer(env);
        return nullptr;
    }
    return nativeObject<Native>(env, handle);
}

// Deletes the native object of a handle that is live, whatever its class; false (and nothing
// done) for 0 and for any handle that is not live, a deleted one included.
bool deleteNativeObject(jlong handle);

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
