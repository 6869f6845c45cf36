// What Firefox reads: when it starts, it opens "SOFTWARE\Policies" under
// HKEY_CURRENT_USER and then HKEY_LOCAL_MACHINE, in its own registry view, and
// turns the key "Mozilla\Firefox" into its policies: a subkey is an object, a
// value a member (REG_SZ a string, REG_DWORD a number), and a subkey whose
// first value is named "1" an array of its values in their order. The
// Authentication policy's "SPNEGO" array becomes the default of
// network.negotiate-auth.trusted-uris, locked unless its "Locked" (a boolean,
// for which the schema takes the numbers 0 and 1) is false.
//
// Software\Policies is among the keys Windows shares between the 32-bit and
// 64-bit views, so 32-bit and 64-bit Firefox read the same key. The 64-bit view
// is written explicitly all the same, so that a Windows (or Wine) that
// redirects the key does not hide the policy from 64-bit Firefox; where it is
// shared, the second write finds the site domain first and changes nothing.
#include "integration/firefox_policy.h"

#include "platform/handles.h"
#include "platform/os_version.h"
#include "platform/text.h"
#include "site_constants.h"

#include <algorithm>
#include <string>
#include <vector>

namespace kestrup {

namespace {

constexpr char kAuthenticationKey[] = "Software\\Policies\\Mozilla\\Firefox\\Authentication";
constexpr DWORD kLongestValueName = 16384;

struct PolicyValue {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const PolicyValue& other) const { return type == other.type && data == other.data; }
};

// The place in the list that a value name gives: "1", "2", ... as Windows'
// policy editors write them; 0 for any other name.
unsigned long EntryNumber(const std::string& name) {
    if (name.empty() || name.size() > 9 || name[0] == '0') return 0;
    unsigned long number = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return 0;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    return number;
}

bool NamesSiteDomain(const PolicyValue& entry) {
    if (entry.type != REG_SZ && entry.type != REG_EXPAND_SZ) return false;
    const std::string text(entry.data.begin(), std::find(entry.data.begin(), entry.data.end(), BYTE{0}));
    return EqualsNoCase(text, site::kDomain);
}

// Every value of the key with its data, in Windows' enumeration order.
LONG ReadValues(HKEY key, std::vector<PolicyValue>& values) {
    std::vector<char> name(kLongestValueName);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = kLongestValueName, size = 0;
        LONG result = RegEnumValueA(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr, &size);
        if (result == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (result != ERROR_SUCCESS) return result;
        PolicyValue value{std::string(name.data(), nameLength), REG_NONE, std::vector<BYTE>(size)};
        result = RegQueryValueExA(key, value.name.c_str(), nullptr, &value.type, value.data.data(), &size);
        if (result != ERROR_SUCCESS) return result;  // changed meanwhile: better nothing than a guess
        value.data.resize(size);
        values.push_back(std::move(value));
    }
}

LONG WriteValue(HKEY key, const PolicyValue& value) {
    return RegSetValueExA(key, value.name.c_str(), 0, value.type, value.data.data(),
                          static_cast<DWORD>(value.data.size()));
}

// The site domain first in the list, the entries already there after it in
// their order, none of them the site domain again.
LONG MergeSpnegoList(HKEY spnego) {
    std::vector<PolicyValue> values;
    LONG result = ReadValues(spnego, values);
    if (result != ERROR_SUCCESS) return result;
    std::vector<const PolicyValue*> entries;
    for (const PolicyValue& value : values)
        if (EntryNumber(value.name) != 0) entries.push_back(&value);
    // Enumerated as "1", "2", ... without a gap: the order Firefox reads.
    bool inOrder = true;
    for (size_t i = 0; i < entries.size(); ++i) inOrder = inOrder && EntryNumber(entries[i]->name) == i + 1;
    std::stable_sort(entries.begin(), entries.end(), [](const PolicyValue* a, const PolicyValue* b) {
        return EntryNumber(a->name) < EntryNumber(b->name);
    });

    const BYTE* domain = reinterpret_cast<const BYTE*>(site::kDomain);
    std::vector<PolicyValue> list{{"", REG_SZ, std::vector<BYTE>(domain, domain + sizeof site::kDomain)}};
    for (const PolicyValue* entry : entries)
        if (!NamesSiteDomain(*entry)) list.push_back(*entry);
    for (size_t i = 0; i < list.size(); ++i) list[i].name = IntToText(static_cast<int>(i + 1));

    if (!inOrder) {
        // Firefox takes the values in the order Windows enumerates them, and a
        // value keeps its place when it is rewritten: only new values follow
        // the order they are written in.
        for (const PolicyValue* entry : entries)
            if ((result = RegDeleteValueA(spnego, entry->name.c_str())) != ERROR_SUCCESS) return result;
        for (const PolicyValue& entry : list)
            if ((result = WriteValue(spnego, entry)) != ERROR_SUCCESS) return result;
        return ERROR_SUCCESS;
    }
    // From the last entry back, so that a run ended half-way leaves an entry
    // twice rather than losing one.
    for (size_t i = list.size(); i-- > 0;) {
        if (i < entries.size() && *entries[i] == list[i]) continue;
        if ((result = WriteValue(spnego, list[i])) != ERROR_SUCCESS) return result;
    }
    for (size_t i = list.size(); i < entries.size(); ++i)
        if ((result = RegDeleteValueA(spnego, entries[i]->name.c_str())) != ERROR_SUCCESS) return result;
    return ERROR_SUCCESS;
}

LONG WritePolicyInView(REGSAM view) {
    KeyHandle authentication;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAuthenticationKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | view, nullptr,
                                  authentication.receive(), nullptr);
    if (result != ERROR_SUCCESS) return result;
    // Locked, Firefox's default, would put the policy's list above each user's
    // own and drop the hosts users trust in their prefs.js. A site that set
    // Locked itself chose that (and its Group Policy would set it again), so
    // its value stays. Written before the list, so the list is never there locked.
    result = RegQueryValueExA(authentication.get(), "Locked", nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_FILE_NOT_FOUND) {
        const DWORD unlocked = 0;
        result = RegSetValueExA(authentication.get(), "Locked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&unlocked),
                                sizeof unlocked);
    }
    if (result != ERROR_SUCCESS) return result;
    KeyHandle spnego;
    result = RegCreateKeyExA(authentication.get(), "SPNEGO", 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_QUERY_VALUE | KEY_SET_VALUE | view, nullptr, spnego.receive(), nullptr);
    if (result != ERROR_SUCCESS) return result;
    return MergeSpnegoList(spnego.get());
}

}  // namespace

LONG WriteFirefoxPolicy() {
    LONG result = WritePolicyInView(0);
    // A 32-bit Windows has one view, and Windows 2000 knows no view flags.
    if (!IsWow64()) return result;
    const LONG wide = WritePolicyInView(KEY_WOW64_64KEY);
    return result != ERROR_SUCCESS ? result : wide;
}

}  // namespace kestrup
