// The automation servers of the emulated machine: one in-process server DLL with the classes
// below, registered (programmatic identifier, class identifier, InprocServer32) when a machine
// is created, as an installer registers its servers.
#pragma once

#include <ole2.h>

namespace winsim::automation {

// The DLL's name in System32 and the library that provides it.
inline constexpr const char *kServerDll = "winsimauto.dll";
inline constexpr const char *kServerLibrary = "libwinsim-automation.so";

struct ServerClass {
    const char *kind;         // also the name of its counter, automation.alive.<kind>
    const char *progId;
    const char *description;
    CLSID clsid;
};

// A dictionary object: keys to items, with the results and errors of a scripting dictionary.
inline constexpr ServerClass kDictionary = {
    "Dictionary", "WinSim.Dictionary", "Stand-in dictionary object",
    {0x6b0f3a51, 0x2d4e, 0x4c83, {0x9a, 0x17, 0x3e, 0x5d, 0x80, 0x21, 0xc4, 0x6f}}};
// An object that records every call it receives and answers as it is told.
inline constexpr ServerClass kRecorder = {
    "Recorder", "WinSim.Recorder", "Stand-in call recorder",
    {0x0c9d4e72, 0x81a6, 0x4f0b, {0xb3, 0x5e, 0x62, 0x1f, 0xd7, 0x08, 0x9a, 0x34}}};
// An object without IDispatch: only IUnknown.
inline constexpr ServerClass kPlainObject = {
    "PlainObject", "WinSim.PlainObject", "Stand-in object without automation",
    {0xe4a27c19, 0x5f30, 0x4d62, {0x8c, 0x4b, 0x71, 0x9e, 0x2a, 0xd3, 0x56, 0x0b}}};

inline constexpr const ServerClass *kServerClasses[] = {&kDictionary, &kRecorder, &kPlainObject};

}  // namespace winsim::automation
