// winsim ras: the remote access phonebook and the dial-up connections of the machine.
#include "commands.h"

#include "machine/machine.h"
#include "rasapi32/connections.h"
#include "rasapi32/phonebook.h"

#include <windows.h>

#include <ras.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char *stateName(RASCONNSTATE state)
{
    switch (state) {
    case RASCS_OpenPort:
        return "OpenPort";
    case RASCS_PortOpened:
        return "PortOpened";
    case RASCS_ConnectDevice:
        return "ConnectDevice";
    case RASCS_DeviceConnected:
        return "DeviceConnected";
    case RASCS_AllDevicesConnected:
        return "AllDevicesConnected";
    case RASCS_Authenticate:
        return "Authenticate";
    case RASCS_AuthNotify:
        return "AuthNotify";
    case RASCS_AuthProject:
        return "AuthProject";
    case RASCS_Authenticated:
        return "Authenticated";
    case RASCS_Connected:
        return "Connected";
    case RASCS_Disconnected:
        return "Disconnected";
    default:
        return "?";
    }
}

int listEntries()
{
    for (const winsim::Phonebook &phonebook : winsim::defaultPhonebooks())
        for (const winsim::PhonebookEntry &entry : phonebook.entries)
            printf("%s\tphone=%s\tdevice=%s (%s)\tphonebook=%s\n", entry.name.c_str(), entry.phoneNumber.c_str(),
                   entry.deviceName.c_str(), entry.deviceType.c_str(), phonebook.path.c_str());
    return 0;
}

int listConnections()
{
    for (const winsim::Connection &connection : winsim::allConnections()) {
        winsim::ConnectionState state = winsim::connectionState(connection);
        printf("0x%llx\t%s\t%s", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(connection.handle)),
               connection.entry.c_str(), stateName(state.state));
        if (state.error)
            printf(" (error %lu)", static_cast<unsigned long>(state.error));
        printf("\tuser=%s\tpid=%u\n", connection.userName.c_str(), connection.process);
    }
    return 0;
}

// Hangs up a connection named by its handle, or every connection of an entry.
int hangUp(const std::string &which)
{
    char *end = nullptr;
    unsigned long long value = strtoull(which.c_str(), &end, 0);
    bool any = false;
    for (const winsim::Connection &connection : winsim::allConnections()) {
        const bool byHandle = end != which.c_str() && *end == '\0' &&
                              reinterpret_cast<uintptr_t>(connection.handle) == value;
        if (byHandle || connection.entry == which) {
            if (DWORD error = RasHangUpA(connection.handle))
                return failed("RasHangUpA", static_cast<LONG>(error));
            any = true;
        }
    }
    if (!any) {
        fprintf(stderr, "winsim: no connection %s\n", which.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int rasCommand(int argc, char **argv)
{
    if (argc < 1)
        return commandUsage("ras");
    winsim::machineRoot();
    const std::string action = argv[0];
    if (action == "entries" && argc == 1)
        return listEntries();
    if (action == "entry" && argc >= 3 && std::string(argv[1]) == "add" && argc <= 4) {
        winsim::PhonebookEntry entry;
        entry.name = argv[2];
        entry.phoneNumber = argc == 4 ? argv[3] : "";
        if (DWORD error = winsim::addPhonebookEntry(entry))
            return failed("add entry", static_cast<LONG>(error));
        return 0;
    }
    if (action == "entry" && argc == 3 && std::string(argv[1]) == "remove") {
        if (DWORD error = winsim::removePhonebookEntry(argv[2]))
            return failed("remove entry", static_cast<LONG>(error));
        return 0;
    }
    if (action == "connections" && argc == 1)
        return listConnections();
    if (action == "hangup" && argc == 2)
        return hangUp(argv[1]);
    return commandUsage("ras");
}
