// Run-time library loading, and the file-table entries for links and DLLs.
#include <windows.h>
#include <winsim/machine.h>

#include <cstdint>

using winsim::Machine;

namespace winsim {

void Machine::AddLink(const std::string& path, const std::string& target) {
    AddFile(path, "", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE);
    FindFile(path)->linkTarget = target;
}

void Machine::AddLibrary(const std::string& path, std::map<std::string, FARPROC> exports, DWORD loadError) {
    if (!FindFile(path)) AddFile(path, "MZ");
    libraries[path] = Library{std::move(exports), loadError};
}

}  // namespace winsim

namespace {


std::string Directory(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Where LoadLibraryA finds a library: a name with a path is taken as it is;
// a bare name is looked for in the program's folder, the system folder, the
// Windows folder and the PATH folders, in that order. ".dll" is added when the
// name has no extension.
std::string FindLibrary(Machine& m, std::string name) {
    size_t slash = name.find_last_of("\\/");
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (base.find('.') == std::string::npos)
        name += ".dll";
    else if (name.back() == '.')
        name.pop_back();  // a trailing dot means "no extension"
    auto fileAt = [&](const std::string& p) -> std::string {
        winsim::FileEntry* f = m.FindFile(p);
        return f && !f->directory ? f->path : std::string();
    };
    if (slash != std::string::npos) return fileAt(name);
    std::vector<std::string> folders = {Directory(m.modulePath), m.systemDirectory, m.windowsDirectory};
    auto path = m.Env().find("PATH");
    if (path != m.Env().end()) {
        const std::string& list = path->second;
        for (size_t pos = 0; pos <= list.size();) {
            size_t end = list.find(';', pos);
            std::string folder = list.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            if (!folder.empty()) folders.push_back(folder);
            if (end == std::string::npos) break;
            pos = end + 1;
        }
    }
    for (std::string folder : folders) {
        if (!folder.empty() && folder.back() == '\\') folder.pop_back();
        std::string found = fileAt(folder + "\\" + name);
        if (!found.empty()) return found;
    }
    return "";
}

}  // namespace

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    Machine& m = winsim::Call("LoadLibraryA");
    std::string path = FindLibrary(m, lpLibFileName ? lpLibFileName : "");
    if (path.empty()) {
        m.lastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    auto it = m.libraries.find(path);
    if (it == m.libraries.end() || it->second.loadError) {
        m.lastError = it == m.libraries.end() ? ERROR_BAD_EXE_FORMAT : it->second.loadError;
        return nullptr;
    }
    Machine::Handle h;
    h.kind = "library";
    h.filePath = path;
    m.libraryLoads.push_back(path);
    m.lastError = ERROR_SUCCESS;
    return reinterpret_cast<HMODULE>(m.NewHandle(std::move(h)));
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    Machine& m = winsim::Call("GetProcAddress");
    Machine::Handle* h = m.GetHandle(reinterpret_cast<HANDLE>(hModule), "library");
    if (!h) {
        m.lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    // Look-up by ordinal (a value below 0x10000) is not simulated: no export answers it.
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        m.lastError = ERROR_PROC_NOT_FOUND;
        return nullptr;
    }
    const auto& exports = m.libraries.at(h->filePath).exports;
    auto it = exports.find(lpProcName);  // export names are matched with case
    if (it == exports.end() || !it->second) {
        m.lastError = ERROR_PROC_NOT_FOUND;
        return nullptr;
    }
    return it->second;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    Machine& m = winsim::Call("FreeLibrary");
    if (!m.GetHandle(reinterpret_cast<HANDLE>(hLibModule), "library")) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return m.CloseHandleEntry(reinterpret_cast<HANDLE>(hLibModule));
}
