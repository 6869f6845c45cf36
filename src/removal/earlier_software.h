// The site's earlier Kerberos package (Tessel) and AFS package, found by their
// uninstall entries and removed before Kerberos for Windows is installed.
#pragma once

#include <string>

namespace kestrup {

// True when either earlier package is installed; each key name is the
// package's uninstall-entry subkey name, empty when that package is absent.
bool FindEarlierSoftware(std::string& tesselKeyName, std::string& afsKeyName);
// Removes what was found. Answers whether a restart is needed; removalDone
// comes back true only when the earlier software is gone.
bool RemoveEarlierSoftware(const std::string& tesselKeyName, const std::string& afsKeyName, bool& removalDone,
                           bool reallySilent);

}  // namespace kestrup
