// Drive letters and network connections: each letter's type, the share a
// network drive is mapped to, and the connections the product cancelled.
#pragma once

#include <winsim/basics.h>

#include <map>
#include <string>
#include <vector>

namespace winsim {

// A drive letter: its type and, for a network drive, the share it is mapped to.
struct Drive {
    UINT type = DRIVE_FIXED;
    std::string remoteName;
    bool openFiles = false;  // a connection with open files is not cancelled without force
    // A remembered mapping that is not connected: WNetGetConnectionA answers
    // ERROR_CONNECTION_UNAVAIL and still gives the remote name.
    bool unavailable = false;
};

struct ConnectionCancel {
    std::string name;
    DWORD flags = 0;
    BOOL force = FALSE;
};

class Drives {
public:
    std::map<char, Drive> drives{{'C', Drive{DRIVE_FIXED, ""}}};  // by upper-case letter
    std::vector<ConnectionCancel> connectionCancels;
    std::vector<char> driveQueries;  // letters WNetGetConnectionA was asked about
};

}  // namespace winsim
