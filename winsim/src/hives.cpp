// Loading a user's hive file under a key of HKEY_LOCAL_MACHINE and unloading it.
#include <windows.h>
#include "internals.h"

using winsim::Machine;
using winsim::RegKey;

namespace winsim {

RegKey& Registry::AddHiveFile(const std::string& path, bool inUse) {
    Machine& m = MachineOf(this);
    if (!m.FindFile(path)) m.AddFile(path, "regf", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    auto& hive = hiveFiles[path];
    if (!hive) hive = std::make_shared<RegKey>();
    if (inUse) hivesInUse.insert(path);
    return *hive;
}

}  // namespace winsim

LONG WINAPI RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile) {
    Machine& m = winsim::Call("RegLoadKeyA");
    std::string subkey = lpSubKey ? lpSubKey : "", file = lpFile ? lpFile : "";
    auto result = [&](LONG r) {
        m.hiveEvents.push_back({"load", subkey, file, r});
        return r;
    };
    if (hKey != HKEY_LOCAL_MACHINE && hKey != HKEY_USERS) return result(ERROR_INVALID_PARAMETER);
    if (!m.privilegesEnabled.count("SeRestorePrivilege")) return result(ERROR_PRIVILEGE_NOT_HELD);
    if (subkey.empty() || subkey.find('\\') != std::string::npos) return result(ERROR_INVALID_PARAMETER);
    RegKey& root = m.RootKey(hKey);
    if (root.subkeys.count(subkey)) return result(ERROR_ALREADY_EXISTS);
    winsim::FileEntry* entry = m.FindFile(file);
    if (!entry || entry->directory) return result(ERROR_FILE_NOT_FOUND);
    if (m.hivesInUse.count(file)) return result(ERROR_SHARING_VIOLATION);
    auto hive = m.hiveFiles.find(file);
    if (hive == m.hiveFiles.end()) return result(ERROR_BADDB);  // a file, but no hive
    hive->second->name = subkey;
    root.subkeys[subkey] = hive->second;  // writes land in the file's tree
    return result(ERROR_SUCCESS);
}

LONG WINAPI RegUnLoadKeyA(HKEY hKey, LPCSTR lpSubKey) {
    Machine& m = winsim::Call("RegUnLoadKeyA");
    std::string subkey = lpSubKey ? lpSubKey : "";
    auto result = [&](LONG r) {
        m.hiveEvents.push_back({"unload", subkey, "", r});
        return r;
    };
    if (hKey != HKEY_LOCAL_MACHINE && hKey != HKEY_USERS) return result(ERROR_INVALID_PARAMETER);
    RegKey& root = m.RootKey(hKey);
    auto it = root.subkeys.find(subkey);
    if (it == root.subkeys.end()) return result(ERROR_FILE_NOT_FOUND);
    bool isHive = false;
    for (auto& [path, tree] : m.hiveFiles) isHive |= tree == it->second;
    if (!isHive) return result(ERROR_INVALID_PARAMETER);
    // Windows refuses to unload a hive while a key inside it is open.
    if (winsim::Inside(m).OpenKeysInside(it->second) > 0) return result(ERROR_ACCESS_DENIED);
    root.subkeys.erase(it);
    return result(ERROR_SUCCESS);
}
