#include "platform/registry.h"

#include "platform/handles.h"
#include "platform/os_version.h"
#include "platform/text.h"

#include <cstring>

namespace kestrup {

namespace {

bool OpenForReading(HKEY root, const std::string& path, KeyHandle& key) {
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE, key.receive()) == ERROR_SUCCESS) return true;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.receive()) == ERROR_SUCCESS;
}

bool OpenForWriting(HKEY root, const std::string& path, KeyHandle& key) {
    return RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | KEY_CREATE_SUB_KEY,
                           nullptr, key.receive(), nullptr) == ERROR_SUCCESS;
}

bool WriteValue(HKEY root, const std::string& path, const std::string& name, DWORD type, const void* data, DWORD size) {
    KeyHandle key;
    if (!OpenForWriting(root, path, key)) return false;
    return RegSetValueExA(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

bool RegKeyExists(HKEY root, const std::string& path) {
    KeyHandle key;
    return OpenForReading(root, path, key);
}

bool RegListValueNames(HKEY root, const std::string& path, std::vector<std::string>& names) {
    names.clear();
    KeyHandle key;
    if (!OpenForReading(root, path, key)) return false;
    // Names are usually short; a longer one is read again whole rather than skipped.
    constexpr DWORD kShortName = 260, kLongestName = 16384;
    std::vector<char> name(kShortName);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        LONG result = RegEnumValueA(key.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_MORE_DATA && name.size() < kLongestName) {
            name.resize(kLongestName);
            length = kLongestName;
            result = RegEnumValueA(key.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        }
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_MORE_DATA) continue;
        // Any other answer (the key deleted meanwhile, say) would repeat at every
        // index: stop rather than loop for ever.
        if (result != ERROR_SUCCESS) break;
        names.emplace_back(name.data(), length);
    }
    return true;
}

bool RegFindValueName(HKEY root, const std::string& path, const std::string& text) {
    std::vector<std::string> names;
    if (!RegListValueNames(root, path, names)) return false;
    std::string wanted = LowerAscii(text);
    for (const std::string& name : names)
        if (LowerAscii(name).find(wanted) != std::string::npos) return true;
    return false;
}

namespace {

// A value of an open key as text, environment references expanded.
bool ReadString(HKEY key, const std::string& name, std::string& out) {
    std::vector<char> data(kRegistryValueLimit + 1, '\0');  // one spare byte keeps it terminated
    DWORD size = kRegistryValueLimit;
    if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS)
        return false;
    // The type is not examined: REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ (its first
    // string) all read as text, and every value is expanded.
    std::vector<char> expanded(kRegistryValueLimit, '\0');
    DWORD needed = ExpandEnvironmentStringsA(data.data(), expanded.data(), kRegistryValueLimit);
    if (needed == 0 || needed > kRegistryValueLimit)
        out = data.data();
    else
        out = expanded.data();
    return true;
}

}  // namespace

bool RegReadString(HKEY root, const std::string& path, const std::string& name, std::string& out) {
    out.clear();
    KeyHandle key;
    return OpenForReading(root, path, key) && ReadString(key.get(), name, out);
}

bool RegReadUnexpandedString(HKEY root, const std::string& path, const std::string& name, std::string& out) {
    out.clear();
    KeyHandle key;
    if (!OpenForReading(root, path, key)) return false;
    std::vector<char> data(kRegistryValueLimit + 1, '\0');  // one spare byte keeps it terminated
    DWORD size = kRegistryValueLimit, type = REG_NONE;
    if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    out = data.data();
    return true;
}

CodePageRead RegReadStringExact(HKEY root, const std::string& path, const std::string& name, std::string& out) {
    out.clear();
    KeyHandle key;
    std::vector<WCHAR> wideName(name.size() + 1);
    if (!OpenForReading(root, path, key) ||
        MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wideName.data(), static_cast<int>(wideName.size())) == 0)
        return CodePageRead::kAbsent;
    constexpr DWORD kUnits = kRegistryValueLimit / sizeof(WCHAR);
    std::vector<WCHAR> data(kUnits + 1, 0);  // one spare unit keeps it terminated
    DWORD size = kUnits * sizeof(WCHAR), type = REG_NONE;
    if (RegQueryValueExW(key.get(), wideName.data(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return CodePageRead::kAbsent;
    if (!ExactAnsi(data.data(), out)) return CodePageRead::kInexact;
    return CodePageRead::kExact;
}

bool RegKeyExistsInView(HKEY root, const std::string& path, REGSAM view) {
    KeyHandle key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE | view, key.receive()) == ERROR_SUCCESS;
}

bool RegReadStringInView(HKEY root, const std::string& path, const std::string& name, REGSAM view, std::string& out) {
    out.clear();
    KeyHandle key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE | view, key.receive()) == ERROR_SUCCESS &&
           ReadString(key.get(), name, out);
}

DWORD OpenLinkOption() { return IsNtFamily() ? REG_OPTION_OPEN_LINK : 0; }

namespace {

// A key opened as it is: a link holds its target in "SymbolicLinkValue". Any
// value of that name is taken as one.
bool IsRegistryLink(HKEY key) {
    DWORD type = REG_NONE;
    return RegQueryValueExA(key, "SymbolicLinkValue", nullptr, &type, nullptr, nullptr) != ERROR_FILE_NOT_FOUND;
}

LinkSafeKey OpenOneKey(HKEY parent, const std::string& name, REGSAM access, bool create, KeyHandle& key, LONG& error) {
    const DWORD asItIs = OpenLinkOption();
    error = RegOpenKeyExA(parent, name.c_str(), asItIs, access, key.receive());
    if (error == ERROR_FILE_NOT_FOUND && create) {
        DWORD disposition = 0;
        error = RegCreateKeyExA(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                key.receive(), &disposition);
        // Made by someone else meanwhile: this open may have followed it, so it is opened again as it is.
        if (error == ERROR_SUCCESS && disposition != REG_CREATED_NEW_KEY)
            error = RegOpenKeyExA(parent, name.c_str(), asItIs, access, key.receive());
    }
    if (error != ERROR_SUCCESS) return LinkSafeKey::kFailed;
    return IsRegistryLink(key.get()) ? LinkSafeKey::kLink : LinkSafeKey::kOpened;
}

}  // namespace

LinkSafeKey OpenKeyWithoutLinks(HKEY root, const std::string& path, REGSAM access, bool create, KeyHandle& key,
                                LONG& error) {
    error = ERROR_SUCCESS;
    KeyHandle current;
    HKEY parent = root;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        const bool last = end == path.size();
        // On the way only sub-keys are made; the last key gets what the caller asks.
        const REGSAM rights = KEY_QUERY_VALUE | (last ? access : REGSAM(create ? KEY_CREATE_SUB_KEY : 0));
        KeyHandle next;
        if (end > start) {
            const LinkSafeKey opened = OpenOneKey(parent, path.substr(start, end - start), rights, create, next, error);
            if (opened != LinkSafeKey::kOpened) return opened;
            current = std::move(next);
            parent = current.get();
        }
        start = end + 1;
    }
    if (!current) return LinkSafeKey::kFailed;
    key = std::move(current);
    return LinkSafeKey::kOpened;
}

bool RegWriteString(HKEY root, const std::string& path, const std::string& name, const std::string& text) {
    return WriteValue(root, path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

bool RegWriteDword(HKEY root, const std::string& path, const std::string& name, DWORD value) {
    return WriteValue(root, path, name, REG_DWORD, &value, sizeof value);
}

bool RegWriteMultiString(HKEY root, const std::string& path, const std::string& name, const void* data,
                         DWORD byteCount) {
    return WriteValue(root, path, name, REG_MULTI_SZ, data, byteCount);
}

}  // namespace kestrup
