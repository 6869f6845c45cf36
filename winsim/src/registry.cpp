// The registry part: the key tree with its two views, key handles, and the
// registry calls (RegOpenKeyExA and friends) over it.
#include "internals.h"

#include <cstring>

namespace winsim {

std::string RegValue::text() const {
    std::string s(data.begin(), data.end());
    size_t z = s.find('\0');
    return z == std::string::npos ? s : s.substr(0, z);
}

DWORD RegValue::dword() const {
    DWORD v = 0;
    if (data.size() >= 4) std::memcpy(&v, data.data(), 4);
    return v;
}

RegValue* RegKey::find(const std::string& valueName) {
    for (auto& v : values)
        if (UpperAscii(v.name) == UpperAscii(valueName)) return &v;
    return nullptr;
}

// ---- the registry part ------------------------------------------------------

RegKey& Registry::RootKey(HKEY root) {
    auto& roots = Inside(MachineOf(this)).roots;
    auto it = roots.find(root);
    if (it == roots.end()) throw SimulationError("unknown registry root");
    return *it->second;
}

std::string Registry::NativePath(HKEY root, const std::string& path, View view) const {
    auto parts = SplitPath(path);
    // A 32-bit program on 64-bit Windows sees HKLM\Software\X as HKLM\Software\Wow6432Node\X.
    if (MachineOf(this).arch() == Arch::x64 && view == View::k32 && root == HKEY_LOCAL_MACHINE && !parts.empty() &&
        UpperAscii(parts[0]) == "SOFTWARE" && !(parts.size() > 1 && UpperAscii(parts[1]) == "WOW6432NODE"))
        parts.insert(parts.begin() + 1, "Wow6432Node");
    std::string out;
    for (auto& p : parts) out += (out.empty() ? "" : "\\") + p;
    return out;
}

bool Internals::ResolveView64(REGSAM sam) const {
    if (m.arch() == Arch::x86) return false;  // a 32-bit Windows has one view; the flags are ignored
    return (sam & KEY_WOW64_64KEY) != 0;
}

namespace {

// The target a link key names, as a root and a path below it; false when it is not a link.
bool LinkTarget(const RegKey& key, HKEY& root, std::string& path) {
    if (!key.link) return false;
    const RegValue* v = const_cast<RegKey&>(key).find("SymbolicLinkValue");
    if (!v || v->type != REG_LINK) return false;
    std::string target;  // UTF-16 without terminator; the tests use ASCII names
    for (size_t i = 0; i + 1 < v->data.size(); i += 2) target += static_cast<char>(v->data[i]);
    for (auto [prefix, hive] : {std::pair("\\REGISTRY\\MACHINE", HKEY_LOCAL_MACHINE), {"\\REGISTRY\\USER", HKEY_USERS}})
        if (UpperAscii(target).rfind(prefix, 0) == 0) {
            root = hive;
            path = target.substr(std::string(prefix).size());
            return true;
        }
    return false;
}

}  // namespace

std::shared_ptr<RegKey> Internals::ResolveKey(HKEY root, const std::string& path, bool view64, bool create, LONG* error,
                                              DWORD* disposition, bool openLink, int hops) {
    std::shared_ptr<RegKey> key;
    bool predefined = roots.count(root) != 0;
    std::string native = path;
    if (predefined) {
        key = roots[root];
        native = m.NativePath(root, path, view64 ? View::k64 : View::k32);
    } else {
        Handle* h = GetKeyHandle(reinterpret_cast<HKEY>(root));
        if (!h) {
            *error = ERROR_INVALID_HANDLE;
            return nullptr;
        }
        key = h->key;
    }
    if (key->deleted) {
        *error = ERROR_KEY_DELETED;
        return nullptr;
    }
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    const auto parts = SplitPath(native);
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        auto it = key->subkeys.find(part);
        if (it == key->subkeys.end()) {
            if (!create) {
                *error = ERROR_FILE_NOT_FOUND;
                return nullptr;
            }
            if (key->denyWrite) {
                *error = ERROR_ACCESS_DENIED;
                return nullptr;
            }
            auto child = std::make_shared<RegKey>();
            child->name = part;
            it = key->subkeys.emplace(part, child).first;
            if (disposition) *disposition = REG_CREATED_NEW_KEY;
        }
        key = it->second;
        // Windows follows a link wherever it stands on the way; only the last key
        // is opened as it is, and only when asked.
        HKEY targetRoot;
        std::string target;
        if ((i + 1 < parts.size() || !openLink) && LinkTarget(*key, targetRoot, target)) {
            for (size_t j = i + 1; j < parts.size(); ++j) target += "\\" + parts[j];
            if (hops > 16) {
                *error = ERROR_CANTOPEN;
                return nullptr;
            }
            // A native path: no view is applied to it.
            return ResolveKey(targetRoot, target, true, create, error, disposition, openLink, hops + 1);
        }
    }
    *error = ERROR_SUCCESS;
    return key;
}

void Registry::AddRegistryLink(HKEY root, const std::string& path, const std::string& target, View view) {
    std::vector<BYTE> data;
    for (char c : target) data.insert(data.end(), {static_cast<BYTE>(c), 0});
    SetBinary(root, path, "SymbolicLinkValue", REG_LINK, data, view);
    CreateKey(root, path, view).link = true;
}

RegKey* Registry::FindKey(HKEY root, const std::string& path, View view) {
    Machine& m = MachineOf(this);
    LONG error;
    auto key = Inside(m).ResolveKey(root, path, view == View::k64 && m.arch() == Arch::x64, false, &error);
    return key.get();
}

RegKey& Registry::CreateKey(HKEY root, const std::string& path, View view) {
    // Test set-up bypasses access flags: walk and create directly.
    std::shared_ptr<RegKey> key = Inside(MachineOf(this)).roots.at(root);
    for (auto& part : SplitPath(NativePath(root, path, view))) {
        auto it = key->subkeys.find(part);
        if (it == key->subkeys.end()) {
            auto child = std::make_shared<RegKey>();
            child->name = part;
            it = key->subkeys.emplace(part, child).first;
        }
        key = it->second;
    }
    return *key;
}

void Registry::SetWideString(HKEY root, const std::string& path, const std::string& name, const std::wstring& value,
                             View view, DWORD type) {
    SetString(root, path, name, ToAnsi(value, false, nullptr), view, type);
    CreateKey(root, path, view).find(name)->wide = value;
}

void Registry::SetBinary(HKEY root, const std::string& path, const std::string& name, DWORD type,
                         const std::vector<BYTE>& data, View view) {
    RegKey& key = CreateKey(root, path, view);
    RegValue* v = key.find(name);
    if (!v) {
        key.values.push_back(RegValue{name, type, {}});
        v = &key.values.back();
    }
    v->type = type;
    v->data = data;
    v->wide.clear();
}

void Registry::SetString(HKEY root, const std::string& path, const std::string& name, const std::string& value,
                         View view, DWORD type) {
    std::vector<BYTE> data(value.begin(), value.end());
    data.push_back(0);
    SetBinary(root, path, name, type, data, view);
}

void Registry::SetDword(HKEY root, const std::string& path, const std::string& name, DWORD value, View view) {
    std::vector<BYTE> data(4);
    std::memcpy(data.data(), &value, 4);
    SetBinary(root, path, name, REG_DWORD, data, view);
}

const RegValue* Registry::GetValue(HKEY root, const std::string& path, const std::string& name, View view) {
    RegKey* key = FindKey(root, path, view);
    return key ? key->find(name) : nullptr;
}

std::string Registry::GetString(HKEY root, const std::string& path, const std::string& name, View view) {
    const RegValue* v = GetValue(root, path, name, view);
    if (!v) throw SimulationError("no registry value " + path + "\\" + name);
    return v->text();
}

DWORD Registry::GetDword(HKEY root, const std::string& path, const std::string& name, View view) {
    const RegValue* v = GetValue(root, path, name, view);
    if (!v) throw SimulationError("no registry value " + path + "\\" + name);
    if (v->type != REG_DWORD) throw SimulationError("registry value " + name + " is not a REG_DWORD");
    return v->dword();
}

// ---- key handles --------------------------------------------------------------

HKEY Internals::NewKeyHandle(std::shared_ptr<RegKey> key, bool view64, bool writable) {
    Handle h;
    h.kind = "key";
    h.key = std::move(key);
    h.keyView64 = view64;
    h.keyWritable = writable;
    return reinterpret_cast<HKEY>(NewHandle(std::move(h)));
}

Handle* Internals::GetKeyHandle(HKEY h) { return GetHandle(reinterpret_cast<HANDLE>(h), "key"); }

namespace {
bool Holds(const std::shared_ptr<RegKey>& tree, const std::shared_ptr<RegKey>& key) {
    if (tree == key) return true;
    for (auto& [name, child] : tree->subkeys)
        if (Holds(child, key)) return true;
    return false;
}
}  // namespace

int Internals::OpenKeysInside(const std::shared_ptr<RegKey>& tree) const {
    int n = 0;
    for (auto& [id, h] : handles)
        if (h.kind == "key" && h.key && Holds(tree, h.key)) ++n;
    return n;
}

}  // namespace winsim

using winsim::Machine;
using winsim::RegKey;
using winsim::RegValue;

namespace {

bool IsPredefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT || key == HKEY_USERS;
}

// The key behind an open handle or a predefined root.
std::shared_ptr<RegKey> KeyOf(Machine& m, HKEY key, LONG* error) {
    if (IsPredefined(key)) return winsim::Inside(m).ResolveKey(key, "", false, false, error);
    winsim::Handle* h = winsim::Inside(m).GetKeyHandle(key);
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
    winsim::Handle* h = winsim::Inside(m).GetKeyHandle(key);
    return h && h->keyWritable;
}

}  // namespace

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    Machine& m = winsim::Call("RegOpenKeyExA");
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    LONG error;
    bool view64 = winsim::Inside(m).ResolveView64(samDesired);
    auto key = winsim::Inside(m).ResolveKey(hKey, lpSubKey ? lpSubKey : "", view64, false, &error, nullptr,
                                            (ulOptions & REG_OPTION_OPEN_LINK) != 0);
    if (!key) return error;
    bool wantsWrite = (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
    if (key->denyRead || (wantsWrite && key->denyWrite)) return ERROR_ACCESS_DENIED;
    *phkResult = winsim::Inside(m).NewKeyHandle(key, view64, wantsWrite);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions, REGSAM samDesired,
                            const SECURITY_ATTRIBUTES*, PHKEY phkResult, LPDWORD lpdwDisposition) {
    Machine& m = winsim::Call("RegCreateKeyExA");
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (!WritableHandle(m, hKey)) return ERROR_ACCESS_DENIED;
    LONG error;
    DWORD disposition = 0;
    bool view64 = winsim::Inside(m).ResolveView64(samDesired);
    auto key = winsim::Inside(m).ResolveKey(hKey, lpSubKey ? lpSubKey : "", view64, true, &error, &disposition);
    if (!key) return error;
    if (key->denyWrite && (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY))) return ERROR_ACCESS_DENIED;
    if (disposition == REG_CREATED_NEW_KEY && (dwOptions & REG_OPTION_CREATE_LINK)) key->link = true;
    if (lpdwDisposition) *lpdwDisposition = disposition;
    *phkResult = winsim::Inside(m).NewKeyHandle(key, view64, (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    Machine& m = winsim::Call("RegCloseKey");
    if (IsPredefined(hKey)) return ERROR_SUCCESS;
    if (!winsim::Inside(m).GetKeyHandle(hKey)) return ERROR_INVALID_HANDLE;
    winsim::Inside(m).CloseHandleEntry(reinterpret_cast<HANDLE>(hKey));
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
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

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    Machine& m = winsim::Call("RegQueryValueExW");
    if (winsim::IsWideStub(m)) return ERROR_CALL_NOT_IMPLEMENTED;
    LONG error;
    auto key = KeyOf(m, hKey, &error);
    if (!key) return error;
    RegValue* v = key->find(winsim::Narrow(lpValueName));
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (v->type != REG_SZ && v->type != REG_EXPAND_SZ)
        throw winsim::SimulationError("RegQueryValueExW of a value that is not text is not modelled");
    const std::wstring text = v->wide.empty() ? winsim::Widen(v->text()) : v->wide;
    if (lpType) *lpType = v->type;
    const DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
    if (lpData) {
        if (!lpcbData) return ERROR_INVALID_PARAMETER;
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        std::memcpy(lpData, text.c_str(), size);
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
    v->wide.clear();
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                          LPBYTE lpData, LPDWORD lpcbData) {
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
        winsim::Handle* h = IsPredefined(hKey) ? nullptr : winsim::Inside(m).GetKeyHandle(hKey);
        parent = winsim::Inside(m).ResolveKey(hKey, parentPath, h ? h->keyView64 : false, false, &e);
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
