#include "driver/prerequisites.h"

namespace kestrup {

// Not built yet: the calendar client check and dialog 103 come later. Until
// then the installation always goes on.
bool CheckCalendarSoftware(HINSTANCE) { return true; }

// Not built yet: the hotfix installation comes later. Until then nothing is installed.
void InstallHotfix(const RunFlags&) {}

}  // namespace kestrup
