#include "platform/handles.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "removal/earlier_software.h"

#include <windows.h>

namespace kestrup {

namespace {

// One pass over the uninstall entries of one registry view for one
// display-name prefix. The first match in enumeration order wins.
bool FindPackageInView(const char* pattern, REGSAM view, std::string& keyName) {
    KeyHandle root;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallRoot, 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | view,
                      root.receive()) != ERROR_SUCCESS)
        return false;
    // The buffer's size decides which entries are looked at: a subkey name of
    // 255 characters or more does not fit and is skipped.
    char name[255];
    for (DWORD index = 0;; ++index) {
        LONG result = RegEnumKeyA(root.get(), index, name, sizeof name);
        if (result == ERROR_NO_MORE_ITEMS) return false;
        if (result == ERROR_MORE_DATA) continue;
        // Any other failure (the key deleted meanwhile, say) would answer the
        // same at every index: end the pass instead of looping for ever.
        if (result != ERROR_SUCCESS) return false;
        std::string displayName;
        if (!RegReadStringInView(HKEY_LOCAL_MACHINE, std::string(kUninstallRoot) + "\\" + name, "DisplayName", view,
                                 displayName))
            continue;
        if (FindNoCase(displayName, pattern) == 1) {
            keyName = name;
            return true;
        }
    }
}

// The plain view first, then the 64-bit one.
bool FindPackage(const char* pattern, std::string& keyName) {
    for (REGSAM view : UninstallViews())
        if (FindPackageInView(pattern, view, keyName)) return true;
    return false;
}

}  // namespace

std::vector<REGSAM> UninstallViews() {
    if (IsWow64()) return {0, KEY_WOW64_64KEY};
    return {0};
}

REGSAM UninstallEntryView(const std::string& keyName) {
    for (REGSAM view : UninstallViews())
        if (RegKeyExistsInView(HKEY_LOCAL_MACHINE, std::string(kUninstallRoot) + "\\" + keyName, view)) return view;
    return 0;
}

bool FindTesselPackage(std::string& keyName) { return FindPackage("PC-Tessel", keyName); }

bool FindAfsPackage(std::string& keyName) {
    // Pattern order decides between several AFS packages, not enumeration order.
    for (const char* pattern : {"QV-OpenAFS", "Marlo Client", "PC-Marlo"})
        if (FindPackage(pattern, keyName)) return true;
    return false;
}

bool FindEarlierSoftware(std::string& tesselKeyName, std::string& afsKeyName) {
    bool tessel = FindTesselPackage(tesselKeyName);
    bool afs = FindAfsPackage(afsKeyName);
    return afs || tessel;
}

}  // namespace kestrup
