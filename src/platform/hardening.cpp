#include "platform/hardening.h"

#include "platform/account.h"
#include "platform/handles.h"
#include "platform/system_library.h"

#include <windows.h>

#include <cstddef>
#include <vector>

namespace kestrup {

namespace {

// Spelled out here: the headers declare them only for newer Windows versions.
constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;
constexpr DWORD kBaseSearchPathEnableSafeSearchMode = 0x00000001;
constexpr DWORD kBaseSearchPathPermanent = 0x00008000;
constexpr DWORD kProcessDepEnable = 0x00000001;
constexpr int kHeapEnableTerminationOnCorruption = 1;

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
using SetDllDirectoryAFunction = BOOL(WINAPI*)(LPCSTR);
using SetSearchPathModeFunction = BOOL(WINAPI*)(DWORD);
using SetProcessDEPPolicyFunction = BOOL(WINAPI*)(DWORD);
using HeapSetInformationFunction = BOOL(WINAPI*)(HANDLE, int, LPVOID, SIZE_T);

// The SID of the user of a process's token, as its bytes (a revision, a count
// of sub-authorities, a 6-byte authority, then the sub-authorities): two SIDs
// are equal exactly when these are, as EqualSid finds.
bool ProcessUserSid(HANDLE process, std::vector<BYTE>& sid) {
    KernelHandle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.receive())) return false;
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size < sizeof(TOKEN_USER)) return false;
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return false;
    const BYTE* start = static_cast<const BYTE*>(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    const BYTE* end = buffer.data() + buffer.size();
    if (start < buffer.data() || end - start < 8 || end - start < 8 + 4 * static_cast<std::ptrdiff_t>(start[1]))
        return false;
    sid.assign(start, start + 8 + 4 * start[1]);
    return true;
}

}  // namespace

bool GetInstallingUserSid(std::string& sid) {
    sid.clear();
    std::vector<BYTE> bytes;
    if (!ProcessUserSid(GetCurrentProcess(), bytes)) return false;
    sid = SidText(bytes.data(), bytes.size());
    return !sid.empty();
}

bool RunningAsLocalSystem() {
    std::string sid;
    return GetInstallingUserSid(sid) && sid == "S-1-5-18";
}

bool RunningAsDesktopUser() {
    constexpr DWORD kProcessQueryLimitedInformation = 0x1000;  // Vista and later
    auto shellWindow = LoadedModuleFunction<decltype(&::GetShellWindow)>("user32.dll", "GetShellWindow");
    auto windowProcess =
        LoadedModuleFunction<decltype(&::GetWindowThreadProcessId)>("user32.dll", "GetWindowThreadProcessId");
    // Windows 95 and NT 4 cannot tell: there only SYSTEM is known not to be the person.
    if (!shellWindow || !windowProcess) return !RunningAsLocalSystem();
    HWND shell = shellWindow();  // none on a desktop nobody sees, nor before anyone logs on
    DWORD shellProcessId = 0;
    if (!shell || !windowProcess(shell, &shellProcessId) || shellProcessId == 0) return false;
    KernelHandle process(OpenProcess(kProcessQueryLimitedInformation, FALSE, shellProcessId));
    if (!process) process = KernelHandle(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, shellProcessId));
    std::vector<BYTE> shellUser, ours;
    return process && ProcessUserSid(process.get(), shellUser) && ProcessUserSid(GetCurrentProcess(), ours) &&
           shellUser == ours;
}

void HardenProcess() {
    // Windows 8 and later (Vista and 7 with KB2533623): bare library names
    // come from the system folder only. Otherwise at least the current folder
    // leaves the search (XP SP1 and later).
    auto setDefault =
        LoadedModuleFunction<SetDefaultDllDirectoriesFunction>("kernel32.dll", "SetDefaultDllDirectories");
    if (!setDefault || !setDefault(kLoadLibrarySearchSystem32)) {
        if (auto setDllDirectory = LoadedModuleFunction<SetDllDirectoryAFunction>("kernel32.dll", "SetDllDirectoryA"))
            setDllDirectory("");
    }
    // SearchPath looks in the current folder only after the system folders.
    if (auto setMode = LoadedModuleFunction<SetSearchPathModeFunction>("kernel32.dll", "SetSearchPathMode"))
        setMode(kBaseSearchPathEnableSafeSearchMode | kBaseSearchPathPermanent);
    // Already on where the image says NXCOMPAT and Windows honours it; this
    // covers XP SP3 and Vista SP1 set to opt-in.
    if (auto setDep = LoadedModuleFunction<SetProcessDEPPolicyFunction>("kernel32.dll", "SetProcessDEPPolicy"))
        setDep(kProcessDepEnable);
    if (auto setHeap = LoadedModuleFunction<HeapSetInformationFunction>("kernel32.dll", "HeapSetInformation"))
        setHeap(nullptr, kHeapEnableTerminationOnCorruption, nullptr, 0);
}

}  // namespace kestrup
