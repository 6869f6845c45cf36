#include "platform/processes.h"

#include "platform/handles.h"
#include "platform/system_library.h"
#include "platform/text.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace kestrup {

namespace {

constexpr DWORD kMaxProcesses = 2048;

// Toolhelp lists every process by its image name and its parent without
// opening any, so a 64-bit process and another user's are seen too; NT 4
// lacks it. Calls visit(entry) for each process until it answers true; false
// when the list could not be had.
template <typename Visit>
bool WalkToolhelp(Visit visit) {
    auto snapshot =
        LoadedModuleFunction<decltype(&::CreateToolhelp32Snapshot)>("kernel32.dll", "CreateToolhelp32Snapshot");
    auto first = LoadedModuleFunction<decltype(&::Process32First)>("kernel32.dll", "Process32First");
    auto next = LoadedModuleFunction<decltype(&::Process32Next)>("kernel32.dll", "Process32Next");
    if (!snapshot || !first || !next) return false;
    SnapshotHandle list(snapshot(TH32CS_SNAPPROCESS, 0));
    if (!list) return false;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    DWORD count = 0;
    for (BOOL more = first(list.get(), &entry); more && count < kMaxProcesses; more = next(list.get(), &entry)) {
        ++count;
        entry.szExeFile[MAX_PATH - 1] = '\0';
        if (visit(entry)) break;
    }
    return true;
}

// False with listed false when the list could not be had.
bool IsListedByToolhelp(const std::string& exeName, bool& listed) {
    bool found = false;
    listed = WalkToolhelp([&](const PROCESSENTRY32& entry) {
        // The 95 family gives the whole path, NT the file name.
        const char* name = entry.szExeFile;
        for (const char* c = entry.szExeFile; *c; ++c)
            if (*c == '\\') name = c + 1;
        return found = EqualsNoCase(name, exeName);
    });
    return found;
}

}  // namespace

bool IsProcessRunning(const std::string& exeName) {
    bool listed = false;
    const bool found = IsListedByToolhelp(exeName, listed);
    if (listed) return found;
    // NT 4: each process opened and its first module read.
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

bool StartedProcessesRun(unsigned long processId) {
    std::vector<std::pair<DWORD, DWORD>> processes;  // (id, parent id)
    WalkToolhelp([&](const PROCESSENTRY32& entry) {
        processes.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
        return false;
    });
    // Its children, theirs, and so on; a process listed as its own parent is no child.
    std::vector<DWORD> family{static_cast<DWORD>(processId)};
    for (size_t at = 0; at < family.size(); ++at)
        for (const auto& [id, parent] : processes)
            if (parent == family[at] && id != parent && std::find(family.begin(), family.end(), id) == family.end())
                family.push_back(id);
    return family.size() > 1;
}

}  // namespace kestrup
