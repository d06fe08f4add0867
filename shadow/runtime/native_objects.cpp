#include "native_objects.h"

namespace shadelink {

ComObjectHolder::~ComObjectHolder()
{
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
    if (comInitialised)
        CoUninitialize();
}

NativeWMComponent::~NativeWMComponent()
{
    if (componentInfo)
        component->FreeComponentInfo(componentInfo);
}

}  // namespace shadelink
