#include "identity/identity_defaults.h"

#include "identity/principal.h"
#include "platform/account.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "site_constants.h"

#include <windows.h>

#include <string>

namespace kestrup {

namespace {

// Key paths, texts and value names are kept within the 254 characters the
// credential manager's settings were laid out for.
constexpr size_t kLongestText = 254;

constexpr char kMarkerKey[] = "Software\\Halvern\\KFW";
constexpr char kKerberos5Key[] = "Software\\MIT\\kerberos5";
constexpr char kIdentityKey[] = "Software\\MIT\\NetIDMgr\\KCDB\\Identity\\";

// The candidate principal from the first source that yields one.
std::string ChooseCandidate(const std::string& user, bool winDomain) {
    std::string candidate;
    if (GetKlistPrincipalName(candidate) && !candidate.empty()) return candidate;
    if (GetKclntUserName(candidate) && !candidate.empty()) return candidate;
    if (winDomain && !user.empty()) {
        std::string composed = user + "@" + site::kDomain;
        if (IsPlausiblePrincipal(composed)) return composed;
    }
    return std::string();
}

}  // namespace

void ConfigureDefaultIdentity() {
    std::string user, domain;
    if (!GetUserAndDomain(user, domain)) return;
    const bool winDomain = domain == "WIN";  // exactly, with case

    const std::string candidate = ChooseCandidate(user, winDomain);
    if (candidate.empty()) return;
    // A realm the candidate carries gives way to the site's; one that begins with "@" is kept whole.
    const int at = FindNoCase(candidate, "@");
    const std::string principal = (at >= 2 ? LeftPart(candidate, at - 1) : candidate) + "@" + site::kDomain;

    if (!winDomain) {
        const std::string windowsPrincipal = user.substr(0, user.find('@')) + "@" + site::kDomain;
        if (principal != windowsPrincipal) return;  // byte for byte, so with case
    }

    const std::string identityKey = kIdentityKey + principal;
    const std::string afsKey = identityKey + "\\AfsCred";
    const std::string cellKey = afsKey + "\\Cells\\" + site::kAfsCell;
    // Nothing is written when a principal does not fit its settings: a partial
    // or cut identity would be worse than none.
    if (principal.size() > kLongestText || cellKey.size() > kLongestText) return;

    if (RegFindValueName(HKEY_CURRENT_USER, kMarkerKey, principal)) return;  // configured by an earlier run
    std::string ccname;
    if (RegReadString(HKEY_CURRENT_USER, kKerberos5Key, "ccname", ccname) && !ccname.empty() &&
        EqualsNoCase(ccname, principal))
        return;

    // Each write is made whatever became of the ones before it; the marker comes last.
    RegWriteString(HKEY_CURRENT_USER, kKerberos5Key, "ccname", principal);
    RegWriteString(HKEY_CURRENT_USER, "Software\\MIT\\NetIDMgr\\PluginManager\\Plugins\\Krb5Cred\\Parameters",
                   "LastDefaultIdent", principal);
    RegWriteDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\MIT\\NetIDMgr\\PluginManager\\Plugins\\AfsCred", "disableafscreds", 1);
    RegWriteDword(HKEY_CURRENT_USER, "Software\\MIT\\NetIDMgr\\PluginManager\\Plugins\\AfsCred\\Parameters",
                  "AFSEnabled", 0);
    RegWriteDword(HKEY_CURRENT_USER, identityKey, "Sticky", 1);
    RegWriteString(HKEY_CURRENT_USER, afsKey, "Cells", site::kAfsCell);
    RegWriteDword(HKEY_CURRENT_USER, afsKey, "AFSEnabled", 1);
    RegWriteString(HKEY_CURRENT_USER, cellKey, "MethodName", "Auto");
    RegWriteString(HKEY_CURRENT_USER, cellKey, "Realm", "");
    RegWriteString(HKEY_CURRENT_USER, identityKey + "\\Krb5Cred", "DefaultCCName", "API:" + principal);
    RegWriteDword(HKEY_CURRENT_USER, kMarkerKey, principal, 1);
}

}  // namespace kestrup
