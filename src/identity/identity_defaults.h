// The current user's default Kerberos identity in the credential manager.
#pragma once

namespace kestrup {

void ConfigureDefaultIdentity();

}  // namespace kestrup
