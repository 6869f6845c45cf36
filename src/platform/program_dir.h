// The program directory (the folder of kestrup.exe, where it finds the packages
// it installs), the system directory, and the test that a file exists.
#pragma once

#include <string>

namespace kestrup {

// Full path of the program's own executable. False, and path unchanged, when
// Windows cannot give it or it does not fit MAX_PATH (a cut path is never used).
bool GetModulePath(std::string& path);
bool GetSystemDir(std::string& path);
// The program's folder with a trailing backslash; false when the module path is unknown.
bool GetProgramDirectory(std::string& directory);
// True when at least one entry that is not a directory matches the path or
// pattern (only "*" makes it a pattern that looks past the first entry).
bool FileExists(const std::string& path);

}  // namespace kestrup
