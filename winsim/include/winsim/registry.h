// The machine's registry: the predefined roots with the 32-bit and 64-bit views
// of a 64-bit Windows (or the single view of a 32-bit one), and users' hive
// files that RegLoadKeyA can load.
#pragma once

#include <winsim/basics.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace winsim {

struct RegValue {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    // A text with characters outside the ANSI code page, as Windows keeps it
    // (UTF-16); data then holds what the A functions answer.
    std::wstring wide;
    std::string text() const;  // data up to the first zero byte
    DWORD dword() const;
};

struct RegKey {
    std::string name;
    std::map<std::string, std::shared_ptr<RegKey>, NoCaseLess> subkeys;  // enumerated in name order
    std::vector<RegValue> values;                                        // enumerated in creation order
    bool denyRead = false;                                               // opening fails with ERROR_ACCESS_DENIED
    bool denyWrite = false;  // opening for writing, creating below and setting fail with ERROR_ACCESS_DENIED
    bool deleted = false;
    bool link = false;  // made with REG_OPTION_CREATE_LINK: its "SymbolicLinkValue" (REG_LINK) names the target
    // A hive's root: this many unloads are refused, as Windows refuses them while
    // another process (a virus scanner, say) holds a key below the mount.
    int unloadRefusals = 0;
    RegValue* find(const std::string& valueName);
};

struct HiveEvent {
    std::string operation;  // "load" or "unload"
    std::string subkey;
    std::string file;  // for loads
    LONG result = 0;
};

class Registry {
public:
    // Paths are below a predefined root, single backslashes, no leading one.
    // k32 on an x64 machine maps HKLM\Software\X to HKLM\Software\Wow6432Node\X.
    std::string NativePath(HKEY root, const std::string& path, View view) const;
    RegKey* FindKey(HKEY root, const std::string& path, View view = View::k32);
    RegKey& CreateKey(HKEY root, const std::string& path, View view = View::k32);
    void SetString(HKEY root, const std::string& path, const std::string& name, const std::string& value,
                   View view = View::k32, DWORD type = REG_SZ);
    // A text value as the W functions read it; the A functions see it with the
    // code page's best-fit look-alikes and "?" for what has none.
    void SetWideString(HKEY root, const std::string& path, const std::string& name, const std::wstring& value,
                       View view = View::k32, DWORD type = REG_SZ);
    void SetDword(HKEY root, const std::string& path, const std::string& name, DWORD value, View view = View::k32);
    void SetBinary(HKEY root, const std::string& path, const std::string& name, DWORD type,
                   const std::vector<BYTE>& data, View view = View::k32);
    const RegValue* GetValue(HKEY root, const std::string& path, const std::string& name, View view = View::k32);
    bool HasValue(HKEY root, const std::string& path, const std::string& name, View view = View::k32) {
        return GetValue(root, path, name, view) != nullptr;
    }
    std::string GetString(HKEY root, const std::string& path, const std::string& name, View view = View::k32);
    DWORD GetDword(HKEY root, const std::string& path, const std::string& name, View view = View::k32);
    RegKey& RootKey(HKEY root);
    // A registry link at root\path to a native path (\Registry\Machine\Software\X or \Registry\User\...).
    void AddRegistryLink(HKEY root, const std::string& path, const std::string& target, View view = View::k32);

    // ---- user hives --------------------------------------------------------
    // An NTUSER.DAT file with the keys it holds. A hive in use (the logged-on
    // user's) cannot be loaded.
    RegKey& AddHiveFile(const std::string& path, bool inUse = false);
    std::map<std::string, std::shared_ptr<RegKey>, NoCaseLess> hiveFiles;
    std::set<std::string, NoCaseLess> hivesInUse;
    std::vector<HiveEvent> hiveEvents;
    // A logged-on user: Windows loaded her hive at HKEY_USERS\<sid>, so the file
    // is in use; for the token's own user it is HKEY_CURRENT_USER as well.
    RegKey& LogOn(const std::string& sid, const std::string& hiveFile);
    // A value inside a hive file, wherever it is mounted; null when absent.
    const RegValue* HiveValue(const std::string& hiveFile, const std::string& path, const std::string& name);
    // A text value inside a hive file (added when missing), as a user's own settings hold it.
    void SetHiveString(const std::string& hiveFile, const std::string& path, const std::string& name,
                       const std::string& value, DWORD type = REG_SZ);
    // The hive file mounted at root\subkey as RegLoadKeyA leaves it (by a run that was ended, say).
    void Mount(HKEY root, const std::string& subkey, const std::string& hiveFile);
};

}  // namespace winsim
