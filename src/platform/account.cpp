#include "platform/account.h"

#include "platform/system_library.h"

#include <windows.h>
#include <winnetwk.h>

#include <cstdio>
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

bool GetUserAndDomain(std::string& user, std::string& domain) {
    user.clear();
    domain.clear();
    char name[kNameChars] = {};
    DWORD nameLength = kNameChars;
    RuntimeLibrary mpr = SystemLibrary("mpr.dll");
    auto getUser = mpr.Find<decltype(&::WNetGetUserA)>("WNetGetUserA");
    if (!getUser || getUser(nullptr, name, &nameLength) != NO_ERROR) return false;
    name[kNameChars - 1] = '\0';

    // The first call only learns the sizes.
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    LookupAccountNameA(nullptr, name, nullptr, &sidSize, nullptr, &domainSize, &use);
    if (domainSize == 0) return false;
    // Sizes beyond the fixed buffers are refused rather than handed to Windows
    // with buffers too small for them.
    if (sidSize > kSidBytes || domainSize > kDomainChars) return false;
    BYTE sid[kSidBytes];
    char domainName[kDomainChars] = {};
    if (!LookupAccountNameA(nullptr, name, sid, &sidSize, domainName, &domainSize, &use)) return false;
    domainName[kDomainChars - 1] = '\0';
    // Both outputs hold at most 254 characters; a longer domain is not cut.
    if (std::strlen(domainName) >= kNameChars) return false;
    user = name;
    domain = domainName;
    return true;
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

}  // namespace kestrup
