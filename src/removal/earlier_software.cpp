#include "removal/earlier_software.h"

namespace kestrup {

// Not built yet: detection comes later. Until then nothing earlier is found.
bool FindEarlierSoftware(std::string& tesselKeyName, std::string& afsKeyName) {
    tesselKeyName.clear();
    afsKeyName.clear();
    return false;
}

// Not built yet: removal comes later. Until then nothing is removed.
bool RemoveEarlierSoftware(const std::string&, const std::string&, bool& removalDone, bool) {
    removalDone = false;
    return false;
}

}  // namespace kestrup
