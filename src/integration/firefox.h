// Every Firefox profile of every local user made to accept negotiate
// authentication for the site domain, through its prefs.js. The text of
// prefs.js is rewritten by firefox_prefs_text; the profiles are found by
// firefox_profiles.cpp and each file rewritten by firefox_rewrite.cpp.
#pragma once

#include "platform/user_hives.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace kestrup {

// What became of one profile: rewritten, or why it was left alone. Nothing is
// reported to the user; the other profiles and users go on either way.
enum class ProfileOutcome {
    kRewritten,
    kPathTooLong,      // a path that does not fit its buffer, never used cut
    kPathUnusable,     // Path (or AppData) leads to no drive or share, climbs above its root, or names a variable
    kNotOnLocalDisk,   // on a share, a removable or a network drive: opening it could authenticate elsewhere
    kNoPrefsFile,      // the profile has no prefs.js
    kNotUsersOwn,      // outside the user's profile folder, and the folder or prefs.js is not hers
    kUnsafeFolder,     // a folder on the way is missing, a link, or not a folder
    kUnsafeFile,       // profiles.ini or prefs.js is a link, a folder, has a second name, or is 4 GB or more
    kOplocked,         // another program's opportunistic lock is on profiles.ini, prefs.js or its temporary file
    kUnsafeBackup,     // the backup name holds something other than a plain file, or one appeared meanwhile
    kUnsafeTemporary,  // the temporary name holds something that cannot be removed, or cannot be created
    kUnreadable,       // reading prefs.js failed, or a line is longer than a preference can be
    kWriteFailed,      // the temporary file could not be written whole (a full disk, say)
    kCopyBackFailed,   // prefs.js could not be replaced; it keeps its old contents
    kOutOfMemory,      // a line too long for the installer's memory; everything was released
};

struct ProfileReport {
    std::string path;  // the profile's prefs.js, or the profiles.ini of a user whose list was not read
    ProfileOutcome outcome;
};

// The outcome in words, for the run's log: "<path>: rewritten" or why not.
std::string DescribeProfile(const ProfileReport& report);

// Configures every profile that each user's profiles.ini lists (sections
// "Profile0" on, up to the first without a Path) and answers what became of
// each, in order. A user without profiles.ini has no entry; one whose list
// could not be read safely has one, for the profiles.ini. A hive that the
// look-up of a user's AppData could not unload is added to hiveFailures.
std::vector<ProfileReport> ConfigureFirefoxProfiles(std::vector<UserHiveReport>& hiveFailures);
// Rewrites one prefs.js: the trusted-URIs preference lists the site domain,
// and SSPI is turned off unless the installing account's domain says otherwise.
// A backup "prefs.js.BACKUP" is taken once.
ProfileOutcome RewritePrefsFile(const std::string& prefsPath);

// The account domain that decides a profile's SSPI line, asked once and only
// when a file needs it: the domain of the profile's owner (the ProfileList
// SID), or, for the installing account's own profile and where the owner is
// not known, that of the account that runs the installer. As SYSTEM the
// installing account's domain ("NT AUTHORITY", in the system's language) says
// nothing of the users.
class ProfileOwnerDomain {
public:
    ProfileOwnerDomain() = default;
    ProfileOwnerDomain(std::string ownerSid, std::string installingSid)
        : ownerSid_(std::move(ownerSid)), installingSid_(std::move(installingSid)) {}
    const std::string& Get();

private:
    std::string ownerSid_, installingSid_;
    bool asked_ = false;
    std::string domain_;
};

// RewritePrefsFile for a prefs.js whose folder the caller holds: folder is
// that hold's handle (null where Windows holds no folders).
ProfileOutcome RewriteHeldPrefsFile(const std::string& prefsPath, HANDLE folder, ProfileOwnerDomain& owner);

}  // namespace kestrup
