// Dial-up connections of the machine, kept in <root>/ras.sqlite so that every process sees
// them (the dialler, the machine tool, another program listing connections), as Windows' remote
// access service does. A connection's state is not stored but follows from the time since it
// was dialled: it steps through the states Windows reports, one step per `stepMs`, up to
// RASCS_Connected, or up to the state where its outcome makes it fail, and then
// RASCS_Disconnected with that error.
//
// Outcomes and delays are set per phonebook entry in the machine configuration:
//   ras.entry.<name>.step = <ms>        time of each state (50 by default)
//   ras.entry.<name>.outcome = <error>  the error the dial ends with (0: it connects)
//   ras.entry.<name>.user / .password   the credentials the remote end accepts; others fail
//                                       with ERROR_AUTHENTICATION_FAILURE
#pragma once

#include <windows.h>

#include <ras.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

struct Connection {
    HRASCONN handle = nullptr;
    std::string entry;
    std::string phonebook;
    std::string userName;
    std::string deviceType;
    std::string deviceName;
    std::string phoneNumber;
    uint32_t process = 0;  // the process that dialled it
    int64_t dialledMs = 0;
    int64_t stepMs = 0;
    DWORD outcome = 0;  // 0: connects; else the error it fails with
};

struct ConnectionState {
    RASCONNSTATE state = RASCS_OpenPort;
    DWORD error = 0;
};

// Where a connection is `elapsedMs` after it was dialled.
ConnectionState connectionStateAfter(const Connection &connection, int64_t elapsedMs);
ConnectionState connectionState(const Connection &connection);

// Adds a dialled connection; fills in its handle. 0 or an error code.
DWORD addConnection(Connection &connection);
std::optional<Connection> findConnection(HRASCONN handle);
// Every connection of the machine, oldest first.
std::vector<Connection> allConnections();
bool removeConnection(HRASCONN handle);

int64_t currentTimeMs();

}  // namespace winsim
