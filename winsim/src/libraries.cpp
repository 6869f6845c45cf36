// Run-time library loading as Windows does it: the search order for a bare
// name (loaded modules, KnownDLLs, the program's folder, the system folders,
// the Windows folder, the current folder, PATH), the changes SetDllDirectoryA
// and SetDefaultDllDirectories make to it, LoadLibraryExA's flags, and the
// system folder's own libraries. Every request is recorded with its flags.
#include <windows.h>
#include <winternl.h>
#include <aclapi.h>
#include <tlhelp32.h>
#include <msi.h>
#include <psapi.h>
#include <winnetwk.h>
#include "internals.h"

#include <cstdint>

using winsim::Machine;

namespace {

std::string Directory(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsAbsolute(const std::string& path) {
    return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) || path.rfind("\\\\", 0) == 0;
}

std::vector<std::string> PathFolders(Machine& m) {
    std::vector<std::string> folders;
    auto path = m.Env().find("PATH");
    if (path == m.Env().end()) return folders;
    const std::string& list = path->second;
    for (size_t pos = 0; pos <= list.size();) {
        size_t end = list.find(';', pos);
        std::string folder = list.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (!folder.empty()) folders.push_back(folder);
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return folders;
}

constexpr DWORD kSearchFlags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                               LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                               LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

// Where a load finds its library, or the empty text with *error set.
std::string FindLibrary(Machine& m, std::string name, DWORD flags, DWORD* error) {
    *error = ERROR_MOD_NOT_FOUND;
    const DWORD searchFlags = flags & kSearchFlags;
    if (searchFlags &&
        (m.missingKernelFunctions.count("SetDefaultDllDirectories") || (flags & LOAD_WITH_ALTERED_SEARCH_PATH))) {
        *error = ERROR_INVALID_PARAMETER;  // unknown flags before KB2533623; never combined with the altered path
        return "";
    }
    std::string base = BaseName(name);
    if (base.find('.') == std::string::npos)
        name += ".dll", base += ".dll";
    else if (name.back() == '.')
        name.pop_back(), base.pop_back();  // a trailing dot means "no extension"
    auto fileAt = [&](const std::string& p) -> std::string {
        winsim::FileEntry* f = m.FindFile(p);
        return f && !f->directory ? f->path : std::string();
    };
    if (name.find_first_of("\\/") !=
        std::string::npos)  // a path: taken as it is, a relative one from the current folder
        return fileAt(IsAbsolute(name) ? name : m.currentDirectory + "\\" + name);

    std::string loaded = m.LoadedModule(base);
    if (!loaded.empty()) return loaded;
    if (m.knownDlls.count(base)) return fileAt(m.systemDirectory + "\\" + base);

    std::vector<std::string> folders;
    const DWORD defaults = searchFlags ? searchFlags : m.defaultDllDirectories;
    if (defaults && !(flags & LOAD_WITH_ALTERED_SEARCH_PATH)) {
        // Only the named folders: never the Windows folder, the current folder or PATH.
        if (defaults & (LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
            folders.push_back(Directory(m.modulePath));
        if (defaults & (LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
            folders.push_back(m.systemDirectory);
    } else {
        folders.push_back(Directory(m.modulePath));
        if (!m.dllDirectory.empty()) folders.push_back(m.dllDirectory);
        folders.push_back(m.systemDirectory);
        folders.push_back(m.windowsDirectory + "\\System");
        folders.push_back(m.windowsDirectory);
        if (!m.dllDirectorySet) folders.push_back(m.currentDirectory);
        for (const std::string& folder : PathFolders(m)) folders.push_back(folder);
    }
    for (std::string folder : folders) {
        if (!folder.empty() && folder.back() == '\\') folder.pop_back();
        std::string found = fileAt(folder + "\\" + name);
        if (!found.empty()) return found;
    }
    return "";
}

HMODULE Load(Machine& m, LPCSTR fileName, DWORD flags) {
    winsim::LibraryRequest request{fileName ? fileName : "", flags, ""};
    DWORD error = 0;
    std::string path = FindLibrary(m, request.name, flags, &error);
    auto it = path.empty() ? m.libraries.end() : m.libraries.find(path);
    if (path.empty() || it == m.libraries.end() || it->second.loadError) {
        m.libraryRequests.push_back(request);
        m.lastError = path.empty() ? error : it == m.libraries.end() ? ERROR_BAD_EXE_FORMAT : it->second.loadError;
        return nullptr;
    }
    request.loaded = path;
    m.libraryRequests.push_back(request);
    winsim::Handle h;
    h.kind = "library";
    h.filePath = path;
    m.libraryLoads.push_back(path);
    m.lastError = ERROR_SUCCESS;
    return reinterpret_cast<HMODULE>(winsim::Inside(m).NewHandle(std::move(h)));
}

// kernel32's process-wide settings, reached only through GetProcAddress as
// the product reaches them (they are not in every Windows it runs on).
BOOL WINAPI SimSetDefaultDllDirectories(DWORD flags) {
    Machine& m = winsim::Call("SetDefaultDllDirectories");
    if (!flags || (flags & ~kSearchFlags)) {
        m.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    m.defaultDllDirectories = flags;
    return TRUE;
}

BOOL WINAPI SimSetDllDirectoryA(LPCSTR pathName) {
    Machine& m = winsim::Call("SetDllDirectoryA");
    m.dllDirectorySet = pathName != nullptr;
    m.dllDirectory = pathName ? pathName : "";
    return TRUE;
}

BOOL WINAPI SimSetSearchPathMode(DWORD flags) {
    Machine& m = winsim::Call("SetSearchPathMode");
    if (m.searchPathMode & 0x8000) {  // BASE_SEARCH_PATH_PERMANENT: no later change
        m.lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    m.searchPathMode = flags;
    return TRUE;
}

BOOL WINAPI SimSetProcessDEPPolicy(DWORD flags) {
    winsim::Call("SetProcessDEPPolicy").depPolicy = flags;
    return TRUE;
}

BOOL WINAPI SimHeapSetInformation(HANDLE heap, int informationClass, LPVOID, SIZE_T) {
    Machine& m = winsim::Call("HeapSetInformation");
    if (heap == nullptr && informationClass == 1)
        m.heapTerminationOnCorruption = true;  // HeapEnableTerminationOnCorruption
    return TRUE;
}

template <typename F>
FARPROC Export(F function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

namespace winsim {

void Libraries::AddLibrary(const std::string& path, std::map<std::string, FARPROC> exports, DWORD loadError) {
    Machine& m = MachineOf(this);
    if (!m.FindFile(path)) m.AddFile(path, "MZ");
    libraries[path] = Library{std::move(exports), {}, loadError};
}

void Libraries::AddSystemLibraries() {
    const std::string system = MachineOf(this).systemDirectory + "\\";
    AddLibrary(system + "kernel32.dll", {{"SetDefaultDllDirectories", Export(&SimSetDefaultDllDirectories)},
                                         {"SetDllDirectoryA", Export(&SimSetDllDirectoryA)},
                                         {"SetSearchPathMode", Export(&SimSetSearchPathMode)},
                                         {"SetProcessDEPPolicy", Export(&SimSetProcessDEPPolicy)},
                                         {"HeapSetInformation", Export(&SimHeapSetInformation)},
                                         {"ProcessIdToSessionId", Export(&::ProcessIdToSessionId)},
                                         {"IsWow64Process", Export(&::IsWow64Process)},
                                         {"CreateToolhelp32Snapshot", Export(&::CreateToolhelp32Snapshot)},
                                         {"Process32First", Export(&::Process32First)},
                                         {"Process32Next", Export(&::Process32Next)},
                                         {"SetFileInformationByHandle", Export(&winsim::SetFileInformationByHandle)}});
    AddLibrary(system + "user32.dll", {{"GetProcessWindowStation", Export(&::GetProcessWindowStation)},
                                       {"GetUserObjectInformationA", Export(&::GetUserObjectInformationA)},
                                       {"GetShellWindow", Export(&::GetShellWindow)},
                                       {"GetWindowThreadProcessId", Export(&::GetWindowThreadProcessId)}});
    AddLibrary(system + "advapi32.dll", {{"GetSecurityInfo", Export(&::GetSecurityInfo)},
                                         {"LookupAccountNameW", Export(&::LookupAccountNameW)},
                                         {"LookupAccountSidW", Export(&::LookupAccountSidW)},
                                         {"GetKernelObjectSecurity", Export(&::GetKernelObjectSecurity)},
                                         {"SetKernelObjectSecurity", Export(&::SetKernelObjectSecurity)}});
    AddLibrary(system + "ntdll.dll", {{"NtCreateFile", Export(&::NtCreateFile)}});
    AddLibrary(system + "mpr.dll", {{"WNetGetUserA", Export(&::WNetGetUserA)},
                                    {"WNetGetUserW", Export(&::WNetGetUserW)},
                                    {"WNetGetConnectionA", Export(&::WNetGetConnectionA)},
                                    {"WNetCancelConnection2A", Export(&::WNetCancelConnection2A)}});
    AddLibrary(system + "psapi.dll", {{"EnumProcesses", Export(&::EnumProcesses)},
                                      {"EnumProcessModules", Export(&::EnumProcessModules)},
                                      {"GetModuleBaseNameA", Export(&::GetModuleBaseNameA)}});
    AddLibrary(system + "version.dll", {{"GetFileVersionInfoSizeA", Export(&::GetFileVersionInfoSizeA)},
                                        {"GetFileVersionInfoA", Export(&::GetFileVersionInfoA)},
                                        {"VerQueryValueA", Export(&::VerQueryValueA)}});
    AddLibrary(system + "msi.dll", {{"MsiEnableLogA", Export(&::MsiEnableLogA)}});
    libraries[system + "msi.dll"].ordinals = {{141, Export(&::MsiSetInternalUI)},
                                              {87, Export(&::MsiInstallProductA)},
                                              {189, Export(&::MsiConfigureProductExA)}};
}

std::string Libraries::LoadedModule(const std::string& name) const {
    for (const auto& [id, h] : Inside(MachineOf(this)).handles) {
        if ((h.kind == "library" || h.kind == "module") && !NoCaseLess()(BaseName(h.filePath), name) &&
            !NoCaseLess()(name, BaseName(h.filePath)))
            return h.filePath;
    }
    return "";
}

int Libraries::ReleaseLoadedLibraries() {
    auto& handles = Inside(MachineOf(this)).handles;
    int released = 0;
    for (auto it = handles.begin(); it != handles.end();) {
        if (it->second.kind == "library") {
            it = handles.erase(it);
            ++released;
        } else {
            ++it;
        }
    }
    return released;
}

}  // namespace winsim

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) { return Load(winsim::Call("LoadLibraryA"), lpLibFileName, 0); }

HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    Machine& m = winsim::Call("LoadLibraryExA");
    if (hFile) {
        m.lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return Load(m, lpLibFileName, dwFlags);
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    Machine& m = winsim::Call("GetModuleHandleA");
    std::string name = lpModuleName ? lpModuleName : "";
    if (name.find('.') == std::string::npos) name += ".dll";
    // kernel32.dll is in every process, user32.dll and advapi32.dll in this one (it imports them);
    // anything else must have been loaded.
    const std::string upper = winsim::UpperAscii(name);
    // ntdll.dll is in every process of the NT family.
    const bool ntdll = upper == "NTDLL.DLL" && m.version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    std::string path = upper == "KERNEL32.DLL" || upper == "USER32.DLL" || upper == "ADVAPI32.DLL" || ntdll
                           ? m.systemDirectory + "\\" + name
                           : m.LoadedModule(name);
    if (path.empty()) {
        m.lastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    // A handle the product does not own: it is not counted among the open handles.
    winsim::Handle h;
    h.kind = "module";
    h.filePath = path;
    return reinterpret_cast<HMODULE>(winsim::Inside(m).NewHandle(std::move(h)));
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    Machine& m = winsim::Call("GetProcAddress");
    winsim::Handle* h = winsim::Inside(m).GetHandle(reinterpret_cast<HANDLE>(hModule), nullptr);
    if (!h || (h->kind != "library" && h->kind != "module")) {
        m.lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    const winsim::Library& library = m.libraries.at(h->filePath);
    FARPROC found = nullptr;
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        auto it = library.ordinals.find(static_cast<WORD>(reinterpret_cast<uintptr_t>(lpProcName)));
        if (it != library.ordinals.end()) found = it->second;
    } else {
        auto it = library.exports.find(lpProcName);  // export names are matched with case
        // Windows before Vista renames nothing through a handle.
        const bool beforeItsWindows =
            std::string(lpProcName) == "SetFileInformationByHandle" && m.version.dwMajorVersion < 6;
        if (it != library.exports.end() && !m.missingKernelFunctions.count(lpProcName) && !beforeItsWindows)
            found = it->second;
    }
    m.lastError = found ? ERROR_SUCCESS : ERROR_PROC_NOT_FOUND;
    return found;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    Machine& m = winsim::Call("FreeLibrary");
    if (!winsim::Inside(m).GetHandle(reinterpret_cast<HANDLE>(hLibModule), "library")) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return winsim::Inside(m).CloseHandleEntry(reinterpret_cast<HANDLE>(hLibModule));
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    Machine& m = winsim::Call("GetCurrentDirectoryA");
    const std::string& folder = m.currentDirectory;
    if (nBufferLength < folder.size() + 1) return static_cast<DWORD>(folder.size() + 1);
    std::copy(folder.begin(), folder.end(), lpBuffer);
    lpBuffer[folder.size()] = '\0';
    return static_cast<DWORD>(folder.size());
}
