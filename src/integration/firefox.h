// Every Firefox profile of every local user made to accept negotiate
// authentication for the site domain, through its prefs.js.
#pragma once

#include <string>

namespace kestrup {

void ConfigureFirefoxProfiles();
// Rewrites one prefs.js: the trusted-URIs preference lists the site domain,
// and SSPI is turned off unless the installing account's domain says otherwise.
// A backup "prefs.js.BACKUP" is taken once.
void RewritePrefsFile(const std::string& prefsPath);
// The line to write in place of a trusted-URIs preference line.
std::string MergeTrustedUrisLine(const std::string& line);

}  // namespace kestrup
