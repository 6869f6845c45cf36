// Who the user is for Kerberos: the principal
// that an installed Kerberos for Windows reports through klist.exe, the user
// name a Kerberos client library reports, and the test that a principal made
// from the Windows user name looks like one of the site's.
#pragma once

#include <string>

namespace kestrup {

// The folder of the Kerberos for Windows programs: "PathName" of the installed
// client with "bin" appended. False, and empty, when it is not installed.
bool GetKerberosBinDirectory(std::string& path);

// The name part (before "@") of the default principal klist.exe reports. True
// when klist.exe was run and ended; name is then empty when it reported no
// principal. False, and empty, when Kerberos for Windows is not installed,
// when klist.exe fails to start, does not end within 30 seconds, or prints
// more than the installer can hold.
bool GetKlistPrincipalName(std::string& name);
// The name part (before "@", blanks trimmed) of the principal on the first line
// of klist's output that carries "Default principal:"; empty when none does.
std::string PrincipalNameFromKlistOutput(const std::string& text);

// The user name that Kclnt32.dll's KCGetUserName reports. True when the library
// loaded and the function answered success with a terminated name in its
// 256-character buffer; otherwise false and empty.
bool GetKclntUserName(std::string& name);

// True when the text has the form of a site user principal: 7 to 64 characters,
// one of the six listed endings, exactly one "@" that does not begin it, no
// space, no "pelnetid", and no ".", "-" or "_" before the "@".
bool IsPlausiblePrincipal(const std::string& text);

}  // namespace kestrup
