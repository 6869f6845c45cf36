// Browsers and Windows fitted to the site realm, each browser only when it is
// closed or after the user was warned.
#pragma once

#include "platform/user_hives.h"

#include <string>
#include <vector>

namespace kestrup {

// Firefox and Internet Explorer for every local user, then the credential
// manager's LSA option and the LSA's KDC list. laterUsers (the site's choice)
// adds Firefox's machine-wide policy for the profiles made after the run.
// Answers what became of each user's hive in the per-user passes.
std::vector<UserHiveReport> ConfigureBrowsersAndLsa(bool reallySilent, bool laterUsers);

}  // namespace kestrup
