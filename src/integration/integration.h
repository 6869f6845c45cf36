// Browsers and Windows fitted to the site realm.
#pragma once

namespace kestrup {

// Firefox, Internet Explorer and the LSA settings for every local user.
void ConfigureBrowsersAndLsa(bool reallySilent);
// The computer's TCP/IP domain.
void SetTcpipDomain();

}  // namespace kestrup
