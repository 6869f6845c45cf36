#include "integration/integration.h"

namespace kestrup {

// Not built yet: the browser and LSA settings come later.
void ConfigureBrowsersAndLsa(bool) {}

// Not built yet: the TCP/IP domain setting comes later.
void SetTcpipDomain() {}

}  // namespace kestrup
