// Copying over read-only files, and deleting a file now or, when it is in use,
// at the next start of Windows.
#pragma once

#include <string>

namespace kestrup {

// Copies source over destination, whose attributes are reset first so that a
// read-only destination is replaced. On failure errorText is the system's text.
bool CopyFileOver(const std::string& source, const std::string& destination, std::string& errorText);
// Deletes the file now, or schedules its deletion at the next start (deferred
// is then true).
bool DeleteFileOrDefer(const std::string& path, std::string& errorText, bool& deferred);
// NT family: the system's delayed-deletion list; Windows 95 family: a "NUL="
// line under "[rename]" in WININIT.INI.
bool ScheduleDeleteAtRestart(const std::string& path, std::string& errorText);
bool WindowsDirectory(std::string& directory);

}  // namespace kestrup
