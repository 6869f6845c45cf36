// Libraries loaded at run time by their full path, never by a bare name.
//
// Kestrup runs elevated from folders users can write (Downloads) and with a
// current folder it does not choose. Windows searches both for a bare library
// name, so a DLL planted there under the name of a system library would run
// with administrator rights. The import table therefore names only DLLs that
// Windows always takes from the system folder, and everything else comes
// through these owners.
#pragma once

#include "platform/handles.h"

#include <windows.h>

#include <string>
#include <vector>

namespace kestrup {

// One library loaded by its full path, freed when the owner goes. Functions
// are resolved once each, by name or by ordinal (MAKEINTRESOURCEA).
class RuntimeLibrary {
public:
    RuntimeLibrary() = default;
    // Loads path, which must be absolute; a relative one is refused.
    explicit RuntimeLibrary(const std::string& path);
    bool loaded() const { return module_.valid(); }
    // The function, or null when the library or the function is missing.
    template <typename Function>
    Function Find(LPCSTR name) const {
        FARPROC address = module_ ? GetProcAddress(module_.get(), name) : nullptr;
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    }
    // Leaves the library loaded for the rest of the process.
    void KeepLoaded() { module_.release(); }

private:
    LibraryHandle module_;
};

// A function of a module that is always loaded (kernel32, user32), or null
// where this Windows lacks it: calls newer than Windows 95 and NT 4 are looked
// up, since an import Windows cannot resolve stops the program from starting.
template <typename Function>
Function LoadedModuleFunction(const char* module, const char* name) {
    HMODULE handle = GetModuleHandleA(module);  // not ours to free
    FARPROC address = handle ? GetProcAddress(handle, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// A library of the system folder: <system folder>\fileName.
RuntimeLibrary SystemLibrary(const char* fileName);

// The system folder, the 16-bit system folder and the Windows folder, in
// Windows' order: the folders only administrators can change.
std::vector<std::string> SystemFolders();

// The folders a program or library of another product may come from, in
// Windows' order with the program's folder and the current folder left out:
// the system folder, the 16-bit system folder, the Windows folder, then the
// absolute folders of PATH on local fixed disks.
std::vector<std::string> SafeSearchFolders();

// The full path of fileName in the first of SafeSearchFolders that holds it
// as a file; the empty text when none does.
std::string FindInSafeFolders(const std::string& fileName);

// The full path of a library that another product installs: in the first of
// SystemFolders that holds it, else in installFolder, the folder its own
// software registered under HKEY_LOCAL_MACHINE (used only when it is absolute
// and on a local fixed disk). Never from a PATH folder: one made at the root of
// the system drive can be changed by every signed-in user. Empty when none holds it.
std::string FindSoftwareLibrary(const std::string& fileName, const std::string& installFolder);

}  // namespace kestrup
