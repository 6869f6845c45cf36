// Users' hives: loaded by Windows at HKEY_USERS\<SID> for the logged-on, and loaded
// under a key of HKEY_LOCAL_MACHINE by RegLoadKeyA and unloaded again.
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

void Registry::Mount(HKEY root, const std::string& subkey, const std::string& hiveFile) {
    auto& hive = MachineOf(this).hiveFiles.at(hiveFile);
    hive->name = subkey;
    RootKey(root).subkeys[subkey] = hive;
}

const RegValue* Registry::HiveValue(const std::string& hiveFile, const std::string& path, const std::string& name) {
    auto hive = hiveFiles.find(hiveFile);
    if (hive == hiveFiles.end()) return nullptr;
    RegKey* key = hive->second.get();
    for (auto& part : SplitPath(path)) {
        auto it = key->subkeys.find(part);
        if (it == key->subkeys.end()) return nullptr;
        key = it->second.get();
    }
    return key->find(name);
}

void Registry::SetHiveString(const std::string& hiveFile, const std::string& path, const std::string& name,
                             const std::string& value, DWORD type) {
    RegKey* key = &AddHiveFile(hiveFile);
    for (auto& part : SplitPath(path)) {
        auto& child = key->subkeys[part];
        if (!child) child = std::make_shared<RegKey>(RegKey{part});
        key = child.get();
    }
    RegValue* v = key->find(name);
    if (!v) v = &key->values.emplace_back(RegValue{name, type, {}});
    v->type = type;
    v->data.assign(value.begin(), value.end());
    v->data.push_back(0);
}

RegKey& Registry::LogOn(const std::string& sid, const std::string& hiveFile) {
    Machine& m = MachineOf(this);
    RegKey& hive = AddHiveFile(hiveFile, true);
    Mount(HKEY_USERS, sid, hiveFile);
    if (UpperAscii(sid) == UpperAscii(m.TokenSid())) Inside(m).roots[HKEY_CURRENT_USER] = m.hiveFiles.at(hiveFile);
    return hive;
}

}  // namespace winsim

namespace {

// Loading and unloading hives needs both privileges enabled.
bool HivePrivilegesEnabled(const Machine& m) {
    return m.privilegesEnabled.count("SeRestorePrivilege") && m.privilegesEnabled.count("SeBackupPrivilege");
}

}  // namespace

LONG WINAPI RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile) {
    Machine& m = winsim::Call("RegLoadKeyA");
    std::string subkey = lpSubKey ? lpSubKey : "", file = lpFile ? lpFile : "";
    auto result = [&](LONG r) {
        m.hiveEvents.push_back({"load", subkey, file, r});
        return r;
    };
    if (hKey != HKEY_LOCAL_MACHINE && hKey != HKEY_USERS) return result(ERROR_INVALID_PARAMETER);
    if (!HivePrivilegesEnabled(m)) return result(ERROR_PRIVILEGE_NOT_HELD);
    if (subkey.empty() || subkey.find('\\') != std::string::npos) return result(ERROR_INVALID_PARAMETER);
    RegKey& root = m.RootKey(hKey);
    // A name still mounted (a run ended before it unloaded) cannot be loaded again.
    if (root.subkeys.count(subkey)) return result(ERROR_ALREADY_EXISTS);
    winsim::FileEntry* entry = m.FindFile(file);
    if (entry && entry->directory) return result(ERROR_ACCESS_DENIED);
    if (!entry) {
        // Windows makes a new, empty hive file where none is.
        const size_t slash = file.find_last_of('\\');
        winsim::FileEntry* folder = slash == std::string::npos ? nullptr : m.FindFile(file.substr(0, slash));
        if (!folder || !folder->directory) return result(ERROR_PATH_NOT_FOUND);
        m.AddHiveFile(file);
    }
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
    if (!HivePrivilegesEnabled(m)) return result(ERROR_PRIVILEGE_NOT_HELD);
    RegKey& root = m.RootKey(hKey);
    auto it = root.subkeys.find(subkey);
    if (it == root.subkeys.end()) return result(ERROR_FILE_NOT_FOUND);
    bool isHive = false;
    for (auto& [path, tree] : m.hiveFiles) isHive |= tree == it->second;
    if (!isHive) return result(ERROR_INVALID_PARAMETER);
    // Windows refuses to unload a hive while a key inside it is open.
    if (winsim::Inside(m).OpenKeysInside(it->second) > 0) return result(ERROR_ACCESS_DENIED);
    if (it->second->unloadRefusals > 0) {
        --it->second->unloadRefusals;
        return result(ERROR_ACCESS_DENIED);
    }
    root.subkeys.erase(it);
    return result(ERROR_SUCCESS);
}
