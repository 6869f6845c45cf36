#include "driver/engine_update.h"

namespace kestrup {

// Not built yet: the engine version check and the redistributables come later.
EngineUpdate UpdateWindowsInstaller(const RunFlags&, int, const std::string&) { return EngineUpdate::kContinue; }

}  // namespace kestrup
