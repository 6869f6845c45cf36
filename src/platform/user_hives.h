// Settings for every local user: the profile directories from the Windows
// profile list, and one value written into a user's own hive (NTUSER.DAT,
// loaded for the moment under HKLM\qtxRegTempKey).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kestrup {

constexpr char kProfileListKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char kTemporaryHiveKey[] = "qtxRegTempKey";
constexpr size_t kMaxProfiles = 500;

// The profile directories of the local users, in profile-list order, at most
// 500. Subkeys named in 8 characters or fewer (the system's own accounts) are
// skipped; an entry without a readable "ProfileImagePath" is kept, empty.
std::vector<std::string> ListProfileDirectories();
// Writes the REG_DWORD into the hive of the user whose profile this is; when
// that hive cannot be loaded (the logged-on user's is in use), under
// HKEY_CURRENT_USER instead.
void WriteUserHiveDword(const std::string& keyPath, const std::string& valueName, DWORD value,
                        const std::string& profileDirectory);
// WriteUserHiveDword for each profile directory in turn, with the privilege
// enabled once for the walk rather than once per user.
void WriteEveryUserHiveDword(const std::vector<std::string>& profileDirectories, const std::string& keyPath,
                             const std::string& valueName, DWORD value);
// Enables SeRestorePrivilege, which loading a hive needs, for the rest of the run.
void EnableRestorePrivilege();

}  // namespace kestrup
