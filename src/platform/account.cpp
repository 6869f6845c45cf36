#include "platform/account.h"

#include "platform/system_library.h"

#include <windows.h>
#include <winnetwk.h>

#include <cstring>

namespace kestrup {

namespace {

constexpr DWORD kNameChars = 255;  // user name and domain, terminator included
constexpr DWORD kSidBytes = 256;
constexpr DWORD kDomainChars = 256;

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

}  // namespace kestrup
