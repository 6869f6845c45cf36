#include "platform/processes.h"

#include "platform/handles.h"
#include "platform/system_library.h"
#include "platform/text.h"

#include <windows.h>
#include <psapi.h>

#include <vector>

namespace kestrup {

namespace {

constexpr DWORD kMaxProcesses = 2048;

}  // namespace

bool IsProcessRunning(const std::string& exeName) {
    RuntimeLibrary psapi = SystemLibrary("psapi.dll");
    auto enumProcesses = psapi.Find<decltype(&::EnumProcesses)>("EnumProcesses");
    auto enumModules = psapi.Find<decltype(&::EnumProcessModules)>("EnumProcessModules");
    auto getBaseName = psapi.Find<decltype(&::GetModuleBaseNameA)>("GetModuleBaseNameA");
    if (!enumProcesses || !enumModules || !getBaseName) return false;
    std::vector<DWORD> ids(kMaxProcesses);
    DWORD bytes = 0;
    if (!enumProcesses(ids.data(), kMaxProcesses * sizeof(DWORD), &bytes)) return false;
    for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
        KernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]));
        if (!process) continue;
        HMODULE module = nullptr;
        DWORD needed = 0;
        if (!enumModules(process.get(), &module, sizeof module, &needed)) continue;
        char name[255] = "";
        if (getBaseName(process.get(), module, name, sizeof name) == 0) continue;
        if (EqualsNoCase(name, exeName)) return true;
    }
    return false;
}

}  // namespace kestrup
