// Bringing an old Windows Installer engine up to the minimum this Windows needs
// before the package is installed; an updated engine needs a restart.
#pragma once

#include "driver/pinned_package.h"
#include "driver/run_flags.h"

#include <array>
#include <string>

namespace kestrup {

enum class EngineUpdate {
    kContinue,          // nothing to do, or nothing done
    kRestartRequested,  // the engine was updated and Windows asked to restart: exit value 1
    kRestartDeclined,   // the engine was updated, the restart declined and logged: exit value 0
};

// A pinned redistributable that is not the one pinned counts as missing: no update.
EngineUpdate UpdateWindowsInstaller(const RunFlags& flags, int osClass, const std::string& osDescription,
                                    const PackagePins& pins = SitePackagePins());

// The FileVersion string of a file's version resource; empty when there is none.
std::string GetFileVersion(const std::string& path);
// The four numbers of a version text such as "3.1.4000.1823"; missing parts are 0.
std::array<int, 4> SplitVersion(const std::string& version);
// True when installed is below minimum; the first part that differs decides.
bool VersionIsOlder(const std::string& installed, const std::string& minimum);

}  // namespace kestrup
