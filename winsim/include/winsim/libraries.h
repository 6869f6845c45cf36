// Libraries the product loads at run time: their files and exports, the search
// order Windows follows for a bare name, and the process-wide settings the
// product's hardening calls change in it.
#pragma once

#include <winsim/basics.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace winsim {

// A DLL that LoadLibraryA can load: its exports by name (with case) and by ordinal.
struct Library {
    std::map<std::string, FARPROC> exports;
    std::map<WORD, FARPROC> ordinals;
    DWORD loadError = 0;  // non-zero: loading fails with this error (its DllMain refused, say)
};

// One LoadLibraryA / LoadLibraryExA call: the name asked for, the flags, and
// the file it loaded (empty when it failed).
struct LibraryRequest {
    std::string name;
    DWORD flags = 0;
    std::string loaded;
};

class Libraries {
public:
    // A library file at a full path. LoadLibraryA finds it by that path or, for a
    // bare name, in the program's folder, the system folder, the Windows folder
    // or a PATH folder, in that order. Each load is an open handle until freed.
    void AddLibrary(const std::string& path, std::map<std::string, FARPROC> exports, DWORD loadError = 0);
    // The system folder's own libraries the product loads at run time, with
    // their exports pointing at this simulation (msi.dll by ordinal only).
    void AddSystemLibraries();
    std::map<std::string, Library, NoCaseLess> libraries;
    std::vector<std::string> libraryLoads;        // the file each successful LoadLibraryA loaded, in order
    std::vector<LibraryRequest> libraryRequests;  // every load asked for, loaded or not
    // The file of a loaded library whose base name is name, or the empty text.
    std::string LoadedModule(const std::string& name) const;
    // Closes the libraries the product loaded and, by design, left loaded; returns how many.
    int ReleaseLoadedLibraries();

    // Loaded from the system folder whatever the search order says.
    std::set<std::string, NoCaseLess> knownDlls{"kernel32.dll", "user32.dll",   "advapi32.dll",
                                                "gdi32.dll",    "msvcrt.dll",   "shell32.dll",
                                                "ole32.dll",    "oleaut32.dll", "comdlg32.dll"};
    // kernel32 functions this Windows lacks (SetDefaultDllDirectories before
    // Windows 8 without KB2533623, SetSearchPathMode and SetProcessDEPPolicy
    // before XP SP3): GetProcAddress does not find them.
    std::set<std::string> missingKernelFunctions;

    // ---- the process-wide settings the hardening calls made ---------------------
    DWORD defaultDllDirectories = 0;  // SetDefaultDllDirectories
    bool dllDirectorySet = false;     // SetDllDirectoryA: the current folder is no longer searched
    std::string dllDirectory;
    DWORD searchPathMode = 0;  // SetSearchPathMode
    DWORD depPolicy = 0;       // SetProcessDEPPolicy
    bool heapTerminationOnCorruption = false;
};

}  // namespace winsim
