#include "native_objects.h"

#include <cinttypes>
#include <cstdio>

namespace shadelink {

LiveObjects &liveObjects()
{
    // Never destroyed: natives may still run on other threads while the library unloads.
    static LiveObjects *const objects = new LiveObjects;
    return *objects;
}

const char *javaClassOf(ObjectKind kind)
{
    switch (kind) {
    case ObjectKind::backupComponents:
        return "BackupComponents";
    case ObjectKind::writerMetaData:
        return "WriterMetaData";
    case ObjectKind::wmComponent:
        return "WMComponent";
    case ObjectKind::fileDescriptor:
        return "FileDescriptor";
    case ObjectKind::writerComponents:
        return "WriterComponents";
    case ObjectKind::component:
        return "Component";
    case ObjectKind::none:
        break;
    }
    return "?";
}

void throwInvalidHandle(JNIEnv *env, jlong handle, ObjectKind expected)
{
    ObjectKind actual = liveObjects().kindOf(reinterpret_cast<const void *>(static_cast<intptr_t>(handle)));
    char message[160];
    if (actual == ObjectKind::none)
        snprintf(message, sizeof message, "Invalid handle 0x%" PRIx64 ": no live %s", static_cast<uint64_t>(handle),
                 javaClassOf(expected));
    else
        snprintf(message, sizeof message, "Invalid handle 0x%" PRIx64 ": a %s, not a %s",
                 static_cast<uint64_t>(handle), javaClassOf(actual), javaClassOf(expected));
    throwVssException(env, message);
}

bool deleteNativeObject(jlong handle)
{
    auto *object = reinterpret_cast<ComObjectHolder *>(static_cast<intptr_t>(handle));
    // Taken out first: of two deletions of one handle, only one finds it live.
    if (!object || liveObjects().take(object) == ObjectKind::none)
        return false;
    delete object;
    return true;
}

ComObjectHolder::~ComObjectHolder()
{
    liveObjects().take(this);
    if (ownedInterface)
        ownedInterface->Release();
}

NativeBackupComponents::~NativeBackupComponents()
{
    // Nothing reaches Java from here: the results of the frees are of no use.
    if (metadataGathered)
        backup->FreeWriterMetadata();
    if (statusGathered)
        backup->FreeWriterStatus();
    backup->Release();
    ownedInterface = nullptr;
    if (comInitialised && creatorThread == std::this_thread::get_id())
        CoUninitialize();
}

NativeWMComponent::~NativeWMComponent()
{
    if (componentInfo)
        component->FreeComponentInfo(componentInfo);
}

}  // namespace shadelink
