// The logged-on user, the accounts LookupAccountNameA knows, and the process
// token: its user and privileges.
#pragma once

#include <winsim/basics.h>

#include <map>
#include <set>
#include <string>

namespace winsim {

// An account that LookupAccountNameA knows.
struct Account {
    std::string domain;                       // the referenced domain it answers
    std::string sid = "S-1-5-21-1-2-3-1003";  // alice is the token's user
    SID_NAME_USE use = SidTypeUser;
    // The name as Windows holds it, where it does not fit the code page; the
    // map's key is then what the A calls answer for it.
    std::wstring wideName;
};

class Accounts {
public:
    std::string logonUser = "alice";  // what WNetGetUserA answers for the current user
    DWORD logonUserError = 0;         // non-zero: WNetGetUserA fails with this error
    std::wstring logonUserWide;       // what WNetGetUserW answers, where the name does not fit the code page
    std::map<std::string, Account, NoCaseLess> accounts{{"alice", Account{"KESTRUP-PC"}}};

    // ---- the process token ---------------------------------------------------
    std::set<std::string> privilegesHeld{"SeShutdownPrivilege", "SeRestorePrivilege", "SeBackupPrivilege"};
    std::set<std::string> privilegesEnabled;
    bool openTokenFails = false;
    bool runningAsSystem = false;  // the token's user is LocalSystem (S-1-5-18), as under a deployment tool
    std::string tokenSid = "S-1-5-21-1-2-3-1003";  // the token's user otherwise
    // The token's user, as text.
    std::string TokenSid() const { return runningAsSystem ? "S-1-5-18" : tokenSid; }

    // ---- the desktop's shell ---------------------------------------------------
    // The user whose shell (explorer) owns the desktop, as a SID; empty: no
    // shell there (nobody logged on). GetShellWindow finds no shell where
    // nobody sees the desktop.
    std::string shellUser = "S-1-5-21-1-2-3-1003";
    static constexpr DWORD kShellPid = 4242;
};

}  // namespace winsim
