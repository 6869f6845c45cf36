#include "integration/integration.h"

#include "integration/windows_settings.h"

namespace kestrup {

// Not built yet: the browser and LSA settings are being added.
void ConfigureBrowsersAndLsa(bool) {}
bool IsProcessRunning(const std::string&) { return false; }
// Not built yet: the TCP/IP domain setting is being added.
void SetTcpipDomain() {}

}  // namespace kestrup
