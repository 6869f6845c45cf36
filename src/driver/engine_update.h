// Bringing an old Windows Installer engine up to the minimum this Windows needs.
#pragma once

#include "driver/run_flags.h"

#include <string>

namespace kestrup {

enum class EngineUpdate {
    kContinue,          // nothing to do, or nothing done
    kRestartRequested,  // the engine was updated and Windows asked to restart: exit value 1
    kRestartDeclined,   // the engine was updated, the restart declined and logged: exit value 0
};

EngineUpdate UpdateWindowsInstaller(const RunFlags& flags, int osClass, const std::string& osDescription);

}  // namespace kestrup
