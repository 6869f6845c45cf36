#include "platform/hardening.h"

#include "platform/account.h"
#include "platform/handles.h"

#include <windows.h>

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

template <typename Function>
Function Kernel32Function(HMODULE kernel32, const char* name) {
    FARPROC address = GetProcAddress(kernel32, name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

bool GetInstallingUserSid(std::string& sid) {
    sid.clear();
    KernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return false;
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size < sizeof(TOKEN_USER)) return false;
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return false;
    const BYTE* start = static_cast<const BYTE*>(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    const BYTE* end = buffer.data() + buffer.size();
    if (start < buffer.data() || start >= end) return false;
    sid = SidText(start, static_cast<size_t>(end - start));
    return !sid.empty();
}

bool RunningAsLocalSystem() {
    std::string sid;
    return GetInstallingUserSid(sid) && sid == "S-1-5-18";
}

void HardenProcess() {
    // kernel32 is in every process; its handle is not ours to free.
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (!kernel32) return;
    // Windows 8 and later (Vista and 7 with KB2533623): bare library names
    // come from the system folder only. Otherwise at least the current folder
    // leaves the search (XP SP1 and later).
    auto setDefault = Kernel32Function<SetDefaultDllDirectoriesFunction>(kernel32, "SetDefaultDllDirectories");
    if (!setDefault || !setDefault(kLoadLibrarySearchSystem32)) {
        if (auto setDllDirectory = Kernel32Function<SetDllDirectoryAFunction>(kernel32, "SetDllDirectoryA"))
            setDllDirectory("");
    }
    // SearchPath looks in the current folder only after the system folders.
    if (auto setMode = Kernel32Function<SetSearchPathModeFunction>(kernel32, "SetSearchPathMode"))
        setMode(kBaseSearchPathEnableSafeSearchMode | kBaseSearchPathPermanent);
    // Already on where the image says NXCOMPAT and Windows honours it; this
    // covers XP SP3 and Vista SP1 set to opt-in.
    if (auto setDep = Kernel32Function<SetProcessDEPPolicyFunction>(kernel32, "SetProcessDEPPolicy"))
        setDep(kProcessDepEnable);
    if (auto setHeap = Kernel32Function<HeapSetInformationFunction>(kernel32, "HeapSetInformation"))
        setHeap(nullptr, kHeapEnableTerminationOnCorruption, nullptr, 0);
}

}  // namespace kestrup
