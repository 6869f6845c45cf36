// The current user's default Kerberos identity in the credential manager:
// decided from klist.exe, Kclnt32.dll or (in the "WIN" domain) the Windows user
// name, and written once per principal, with the site AFS cell.
#pragma once

namespace kestrup {

void ConfigureDefaultIdentity();

}  // namespace kestrup
