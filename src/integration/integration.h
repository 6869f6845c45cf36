// Browsers and Windows fitted to the site realm, each browser only when it is
// closed or after the user was warned.
#pragma once

#include "integration/firefox.h"
#include "platform/user_hives.h"

#include <string>
#include <vector>

namespace kestrup {

// Firefox and Internet Explorer for every local user, then the credential
// manager's LSA option and the LSA's KDC list. laterUsers (the site's choice)
// adds Firefox's machine-wide policy for the profiles made after the run.
// Answers what became of each user's hive in the per-user passes, of each
// Firefox profile, and of each setting of the computer.
struct IntegrationReport {
    std::vector<UserHiveReport> hives;
    std::vector<ProfileReport> profiles;
    std::vector<std::string> notes;  // a browser left alone, the machine-wide values, in words
};
IntegrationReport ConfigureBrowsersAndLsa(bool reallySilent, bool laterUsers);

}  // namespace kestrup
