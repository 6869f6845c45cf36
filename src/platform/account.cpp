#include "platform/account.h"

#include "platform/os_version.h"
#include "platform/system_library.h"
#include "platform/text.h"

#include <windows.h>
#include <winnetwk.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrup {

namespace {

constexpr DWORD kNameChars = 255;  // user name and domain, terminator included
constexpr DWORD kSidBytes = 256;
constexpr DWORD kDomainChars = 256;
// A SID: revision, count of sub-authorities, a 48-bit authority (big-endian),
// then up to 15 sub-authorities of 32 bits (little-endian).
constexpr size_t kSidHeader = 8;
constexpr size_t kMaxSubAuthorities = 15;

}  // namespace

namespace {

// A name in the ANSI code page; false when it does not convert exactly.
bool Narrowed(const std::string& name, std::string& out) {
    out = name;
    return true;
}
bool Narrowed(const std::wstring& name, std::string& out) { return ExactAnsi(name.c_str(), out); }

// The logged-on user's account through one set of calls, A or W.
template <class Char, class GetUser, class LookupName>
bool UserAndDomainThrough(GetUser getUser, LookupName lookupName, std::string& user, std::string& domain) {
    Char name[kNameChars] = {};
    DWORD nameLength = kNameChars;
    if (!getUser || getUser(nullptr, name, &nameLength) != NO_ERROR) return false;
    name[kNameChars - 1] = 0;

    // The first call only learns the sizes.
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    lookupName(nullptr, name, nullptr, &sidSize, nullptr, &domainSize, &use);
    if (domainSize == 0) return false;
    // Sizes beyond the fixed buffers are refused rather than handed to Windows
    // with buffers too small for them.
    if (sidSize > kSidBytes || domainSize > kDomainChars) return false;
    BYTE sid[kSidBytes];
    Char domainName[kDomainChars] = {};
    if (!lookupName(nullptr, name, sid, &sidSize, domainName, &domainSize, &use)) return false;
    domainName[kDomainChars - 1] = 0;
    // Both outputs hold at most 254 characters; a longer domain is not cut.
    const std::basic_string<Char> domainText = domainName;
    return domainText.size() < kNameChars && Narrowed(std::basic_string<Char>(name), user) &&
           Narrowed(domainText, domain);
}

// The domain of a SID's account through LookupAccountSidA or LookupAccountSidW.
template <class Char, class LookupSid>
bool AccountDomainThrough(LookupSid lookupSid, std::vector<BYTE>& sid, std::string& domain) {
    Char name[kNameChars] = {}, domainName[kDomainChars] = {};
    DWORD nameLength = kNameChars, domainLength = kDomainChars;
    SID_NAME_USE use;
    // One call: a name or domain longer than the buffers is refused, not cut.
    if (!lookupSid || !lookupSid(nullptr, sid.data(), name, &nameLength, domainName, &domainLength, &use)) return false;
    domainName[kDomainChars - 1] = 0;
    return Narrowed(std::basic_string<Char>(domainName), domain);
}

}  // namespace

// On the NT family the names are read as Windows holds them, with the W calls:
// the A calls turn a character the ANSI code page lacks into "?" or a best-fit
// look-alike, and so can name another account ("\u0141ukasz" read as "Lukasz").
// The Windows 95 family has only the A calls, and no accounts beyond the name.
bool GetUserAndDomain(std::string& user, std::string& domain) {
    RuntimeLibrary mpr = SystemLibrary("mpr.dll");
    bool found;
    if (IsNtFamily()) {
        RuntimeLibrary advapi = SystemLibrary("advapi32.dll");
        found = UserAndDomainThrough<WCHAR>(mpr.Find<decltype(&::WNetGetUserW)>("WNetGetUserW"),
                                            advapi.Find<decltype(&::LookupAccountNameW)>("LookupAccountNameW"), user,
                                            domain);
    } else {
        found = UserAndDomainThrough<char>(mpr.Find<decltype(&::WNetGetUserA)>("WNetGetUserA"), &::LookupAccountNameA,
                                           user, domain);
    }
    if (!found) {
        user.clear();
        domain.clear();
    }
    return found;
}

std::string SidText(const BYTE* sid, size_t size) {
    if (size < kSidHeader || sid[1] > kMaxSubAuthorities || size < kSidHeader + 4u * sid[1]) return std::string();
    unsigned long long authority = 0;
    for (size_t i = 2; i < kSidHeader; ++i) authority = authority << 8 | sid[i];
    char part[32];
    // Windows writes an authority of 2^32 or more in hexadecimal.
    std::snprintf(part, sizeof part, authority >> 32 ? "S-%u-0x%012llX" : "S-%u-%llu", sid[0], authority);
    std::string text = part;
    for (size_t i = 0; i < sid[1]; ++i) {
        const BYTE* p = sid + kSidHeader + 4 * i;
        const unsigned long value = p[0] | p[1] << 8 | p[2] << 16 | static_cast<unsigned long>(p[3]) << 24;
        std::snprintf(part, sizeof part, "-%lu", value);
        text += part;
    }
    return text;
}

bool SidFromText(const std::string& text, std::vector<BYTE>& sid) {
    sid.clear();
    if (text.compare(0, 2, "S-") != 0 && text.compare(0, 2, "s-") != 0) return false;
    std::vector<unsigned long long> parts;
    size_t pos = 2;
    while (true) {
        const size_t end = std::min(text.find('-', pos), text.size());
        const std::string digits = text.substr(pos, end - pos);
        if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        parts.push_back(std::strtoull(digits.c_str(), nullptr, 10));
        if (end == text.size()) break;
        pos = end + 1;
    }
    // The revision, the authority and at least one sub-authority, each in its width.
    if (parts.size() < 3 || parts.size() - 2 > kMaxSubAuthorities || parts[0] > 0xFF || parts[1] >> 48) return false;
    sid.push_back(static_cast<BYTE>(parts[0]));
    sid.push_back(static_cast<BYTE>(parts.size() - 2));
    for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<BYTE>(parts[1] >> shift));
    for (size_t i = 2; i < parts.size(); ++i) {
        if (parts[i] > 0xFFFFFFFFull) return false;
        for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<BYTE>(parts[i] >> shift));
    }
    return true;
}

bool GetAccountDomainOfSid(const std::string& sid, std::string& domain) {
    domain.clear();
    std::vector<BYTE> binary;
    if (!SidFromText(sid, binary)) return false;
    bool found;
    if (IsNtFamily()) {
        RuntimeLibrary advapi = SystemLibrary("advapi32.dll");
        found = AccountDomainThrough<WCHAR>(advapi.Find<decltype(&::LookupAccountSidW)>("LookupAccountSidW"), binary,
                                            domain);
    } else {
        found = AccountDomainThrough<char>(&::LookupAccountSidA, binary, domain);
    }
    if (!found) domain.clear();
    return found;
}

}  // namespace kestrup
