// Browsers and Windows fitted to the site realm, each browser only when it is
// closed or after the user was warned.
#pragma once

#include <string>

namespace kestrup {

// Firefox and Internet Explorer for every local user, then the credential
// manager's LSA option and the LSA's KDC list.
void ConfigureBrowsersAndLsa(bool reallySilent);

}  // namespace kestrup
