#include "identity/identity_defaults.h"

namespace kestrup {

// Not built yet: principal discovery and the identity values come later.
void ConfigureDefaultIdentity() {}

}  // namespace kestrup
