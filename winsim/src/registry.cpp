// Registry calls: RegOpenKeyExA and friends over the machine's key tree.
#include <windows.h>
#include <winsim/machine.h>

#include <cstring>

using winsim::Machine;
using winsim::RegKey;
using winsim::RegValue;

namespace {


bool IsPredefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT || key == HKEY_USERS;
}

// The key behind an open handle or a predefined root.
std::shared_ptr<RegKey> KeyOf(Machine& m, HKEY key, LONG* error) {
    if (IsPredefined(key)) return m.ResolveKey(key, "", false, false, error);
    Machine::Handle* h = m.GetKeyHandle(key);
    if (!h) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (h->key->deleted) {
        *error = ERROR_KEY_DELETED;
        return nullptr;
    }
    *error = ERROR_SUCCESS;
    return h->key;
}

bool WritableHandle(Machine& m, HKEY key) {
    if (IsPredefined(key)) return true;
    Machine::Handle* h = m.GetKeyHandle(key);
    return h && h->keyWritable;
}

}  // namespace

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    Machine& m = winsim::Call("RegOpenKeyExA");
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    LONG error;
    bool view64 = m.ResolveView64(samDesired);
    auto key = m.ResolveKey(hKey, lpSubKey ? lpSubKey : "", view64, false, &error);
    if (!key) return error;
    bool wantsWrite = (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
    if (key->denyRead || (wantsWrite && key->denyWrite)) return ERROR_ACCESS_DENIED;
    *phkResult = m.NewKeyHandle(key, view64, wantsWrite);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                            const SECURITY_ATTRIBUTES*, PHKEY phkResult, LPDWORD lpdwDisposition) {
    Machine& m = winsim::Call("RegCreateKeyExA");
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (!WritableHandle(m, hKey)) return ERROR_ACCESS_DENIED;
    LONG error;
    DWORD disposition = 0;
    bool view64 = m.ResolveView64(samDesired);
    auto key = m.ResolveKey(hKey, lpSubKey ? lpSubKey : "", view64, true, &error, &disposition);
    if (!key) return error;
    if (key->denyWrite && (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY))) return ERROR_ACCESS_DENIED;
    if (lpdwDisposition) *lpdwDisposition = disposition;
    *phkResult = m.NewKeyHandle(key, view64, (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    Machine& m = winsim::Call("RegCloseKey");
    if (IsPredefined(hKey)) return ERROR_SUCCESS;
    if (!m.GetKeyHandle(hKey)) return ERROR_INVALID_HANDLE;
    m.CloseHandleEntry(reinterpret_cast<HANDLE>(hKey));
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
    Machine& m = winsim::Call("RegQueryValueExA");
    LONG error;
    auto key = KeyOf(m, hKey, &error);
    if (!key) return error;
    RegValue* v = key->find(lpValueName ? lpValueName : "");
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (lpType) *lpType = v->type;
    DWORD size = static_cast<DWORD>(v->data.size());
    if (lpData) {
        if (!lpcbData) return ERROR_INVALID_PARAMETER;
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(lpData, v->data.data(), size);
    }
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    Machine& m = winsim::Call("RegSetValueExA");
    LONG error;
    auto key = KeyOf(m, hKey, &error);
    if (!key) return error;
    if (!WritableHandle(m, hKey) || key->denyWrite) return ERROR_ACCESS_DENIED;
    std::string name = lpValueName ? lpValueName : "";
    RegValue* v = key->find(name);
    if (!v) {
        key->values.push_back(RegValue{name, dwType, {}});
        v = &key->values.back();
    }
    v->type = dwType;
    v->data.assign(lpData, lpData + cbData);
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    Machine& m = winsim::Call("RegEnumValueA");
    LONG error;
    auto key = KeyOf(m, hKey, &error);
    if (!key) return error;
    if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    const RegValue& v = key->values[dwIndex];
    if (!lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
    if (v.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
    std::memcpy(lpValueName, v.name.c_str(), v.name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(v.name.size());
    if (lpType) *lpType = v.type;
    if (lpcbData) {
        DWORD size = static_cast<DWORD>(v.data.size());
        if (lpData) {
            if (*lpcbData < size) {
                *lpcbData = size;
                return ERROR_MORE_DATA;
            }
            if (size) std::memcpy(lpData, v.data.data(), size);
        }
        *lpcbData = size;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR, LPDWORD,
                          PFILETIME) {
    Machine& m = winsim::Call("RegEnumKeyExA");
    LONG error;
    auto key = KeyOf(m, hKey, &error);
    if (!key) return error;
    if (dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    auto it = key->subkeys.begin();
    std::advance(it, dwIndex);
    const std::string& name = it->second->name;
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    Machine& m = winsim::Call("RegEnumKeyA");
    --m.calls["RegEnumKeyExA"];
    DWORD size = cchName;
    return RegEnumKeyExA(hKey, dwIndex, lpName, &size, nullptr, nullptr, nullptr, nullptr);
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    Machine& m = winsim::Call("RegDeleteValueA");
    LONG error;
    auto key = KeyOf(m, hKey, &error);
    if (!key) return error;
    if (!WritableHandle(m, hKey) || key->denyWrite) return ERROR_ACCESS_DENIED;
    std::string name = winsim::UpperAscii(lpValueName ? lpValueName : "");
    for (auto it = key->values.begin(); it != key->values.end(); ++it)
        if (winsim::UpperAscii(it->name) == name) {
            key->values.erase(it);
            return ERROR_SUCCESS;
        }
    return ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    Machine& m = winsim::Call("RegDeleteKeyA");
    LONG error;
    auto parent = KeyOf(m, hKey, &error);
    if (!parent) return error;
    auto parts = winsim::SplitPath(lpSubKey ? lpSubKey : "");
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    std::string last = parts.back();
    parts.pop_back();
    std::string parentPath;
    for (auto& p : parts) parentPath += (parentPath.empty() ? "" : "\\") + p;
    if (!parentPath.empty()) {
        LONG e;
        Machine::Handle* h = IsPredefined(hKey) ? nullptr : m.GetKeyHandle(hKey);
        parent = m.ResolveKey(hKey, parentPath, h ? h->keyView64 : false, false, &e);
        if (!parent) return e;
    }
    auto it = parent->subkeys.find(last);
    if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    if (!it->second->subkeys.empty()) return ERROR_ACCESS_DENIED;  // Windows will not delete a key with subkeys
    if (parent->denyWrite) return ERROR_ACCESS_DENIED;
    it->second->deleted = true;
    parent->subkeys.erase(it);
    return ERROR_SUCCESS;
}
