// Settings for every local user: the profiles of the Windows profile list, and
// one walker that reaches each user's own hive where it is (HKEY_USERS\<SID>
// for a user who is logged on, NTUSER.DAT loaded for the moment under
// HKLM\qtxRegTempKey for the others) and says why a user was not reached.
// The passes only say what to do in one hive.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace kestrup {

constexpr char kProfileListKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char kTemporaryHiveKey[] = "qtxRegTempKey";
constexpr size_t kMaxProfiles = 500;

// One local user: the ProfileList subkey's name (the account's SID) and the
// profile directory.
struct UserProfile {
    std::string sid;
    std::string directory;
    // The folder's name does not fit the ANSI code page exactly (or holds a
    // wildcard): directory is empty, and nothing is done by its path.
    bool inexactName = false;
};

// The local users' profiles, in profile-list order, at most 500. Subkeys named
// in 8 characters or fewer (the system's own accounts) are skipped, and so is
// a directory that is not on a local fixed disk; an entry without a readable
// "ProfileImagePath" is kept, empty, and so is one whose name does not fit the
// ANSI code page, marked.
std::vector<UserProfile> ListProfileDirectories();

// The default profile, which Windows copies into every profile it makes later:
// ProfileList "Default" on Windows Vista and later, "ProfilesDirectory" and
// "DefaultUserProfile" before; none on the Windows 95 family. Its SID is empty,
// so the walker loads its NTUSER.DAT like a logged-off user's and never sends
// it elsewhere. False when there is none on a local fixed disk.
bool FindDefaultProfile(UserProfile& profile);

// What became of one user for one pass.
enum class UserHiveOutcome {
    kDone,         // the pass ran in the user's own hive
    kPassFailed,   // the hive was reached, but the pass could not write
    kLinkRefused,  // a key on the way is a registry link the user could have made: not followed
    kPathTooLong,  // the hive file's path does not fit MAX_PATH
    kNoHiveFile,   // no NTUSER.DAT as a plain local file: loading would make a new, empty one
    kNotLoaded,    // not under HKEY_USERS, not the installing user's, and RegLoadKeyA refused it
    kMountTaken,   // a hive stays mounted under the temporary name and would not unload
    kLeftLoaded,   // the pass ran, but the hive would not unload: it blocks that user's next logon
    kInexactName,  // not logged on, and the profile folder's name does not fit the ANSI code page
};

struct UserHiveReport {
    std::string sid;
    std::string directory;
    UserHiveOutcome outcome;
    LONG error;         // the Windows error behind a refusal, or ERROR_SUCCESS
    std::string value;  // what the pass was to write, for the log
};

// The reason in words, for the installer's log.
std::string DescribeUserHive(const UserHiveReport& report);
// A report someone must hear of: a user who has a hive but did not get the
// value, or a hive left loaded.
bool IsUserHiveFailure(UserHiveOutcome outcome);

// What a pass made of one hive: done or not, or a refusal with its reason.
struct UserHivePassResult {
    UserHivePassResult(bool done) : outcome(done ? UserHiveOutcome::kDone : UserHiveOutcome::kPassFailed) {}
    UserHivePassResult(UserHiveOutcome why, LONG windowsError) : outcome(why), error(windowsError) {}
    UserHiveOutcome outcome;
    LONG error = ERROR_SUCCESS;
};

// What a pass does in one user's hive, given the key at its root.
using UserHivePass = std::function<UserHivePassResult(HKEY hiveRoot)>;

// The pass in each user's hive, in list order. A logged-on user's hive is used
// where Windows loaded it; the others are loaded one at a time and unloaded
// again. Only the installing account's own user falls back on
// HKEY_CURRENT_USER; any other user whose hive cannot be reached is left
// alone. One report per profile.
std::vector<UserHiveReport> ForEveryUserHive(const std::vector<UserProfile>& profiles, const UserHivePass& pass);
// A pass that writes one REG_DWORD, the key path relative to the hive's root.
std::vector<UserHiveReport> WriteEveryUserHiveDword(const std::vector<UserProfile>& profiles,
                                                    const std::string& keyPath, const std::string& valueName,
                                                    DWORD value);
// One REG_DWORD written below a hive's root, no registry link followed on the way.
UserHivePassResult WriteHiveDword(HKEY hiveRoot, const std::string& keyPath, const std::string& valueName, DWORD value);
// The same for one user.
UserHiveReport WriteUserHiveDword(const std::string& keyPath, const std::string& valueName, DWORD value,
                                  const UserProfile& profile);

// Enables SeRestorePrivilege and SeBackupPrivilege, which loading and unloading
// a hive need, for the rest of the run.
void EnableHivePrivileges();

}  // namespace kestrup
