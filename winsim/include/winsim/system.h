// The rest of what a program sees of Windows: the version record, the
// environment, the calling thread's last error, system message texts and the
// user's language, and the shutdown requests the product made.
#pragma once

#include <winsim/basics.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace winsim {

struct ExitWindowsRequest {
    UINT flags = 0;
    DWORD reason = 0;
    bool shutdownPrivilegeEnabled = false;
};

class System {
public:
    // ---- version record ----------------------------------------------------
    OSVERSIONINFOEXA version{};
    // Sets the version record; the service pack text is "Service Pack N" when spMajor > 0.
    void SetVersion(DWORD platform, DWORD major, DWORD minor, DWORD build, WORD spMajor = 0,
                    const std::string& csd = "\x01");
    bool versionQueryFails = false;

    // ---- environment -------------------------------------------------------
    void SetEnv(const std::string& name, const std::string& value) { env_[name] = value; }
    const std::map<std::string, std::string, NoCaseLess>& Env() const { return env_; }

    DWORD lastError = 0;                                  // what GetLastError answers
    SYSTEMTIME systemTime{2026, 12, 1, 7, 21, 45, 0, 0};  // what GetSystemTime answers (UTC)

    // ---- system messages and language ----------------------------------------
    std::map<DWORD, std::string> systemMessages;  // FormatMessageA texts by code
    WORD userLanguage = 0x0409;
    std::set<void*> localAllocations;  // FormatMessageA buffers not yet released with LocalFree

    std::vector<ExitWindowsRequest> exitWindowsRequests;
    DWORD sleptMilliseconds = 0;  // the waits Sleep was asked for, added up

private:
    std::map<std::string, std::string, NoCaseLess> env_;
};

}  // namespace winsim
