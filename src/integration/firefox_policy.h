// Firefox's machine-wide policy for negotiate authentication, so that Firefox
// profiles made after the run (a new user's, a new or reset profile) trust the
// site domain as the rewritten prefs.js files do.
#pragma once

#include <windows.h>

namespace kestrup {

// HKEY_LOCAL_MACHINE "Software\Policies\Mozilla\Firefox\Authentication": the
// site domain first in "SPNEGO", the entries already there kept after it, and
// "Locked" 0 unless the site has set it; in every registry view Firefox reads.
// Answers ERROR_SUCCESS, or the first failure's Windows error code.
LONG WriteFirefoxPolicy();

}  // namespace kestrup
