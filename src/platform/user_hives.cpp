#include "platform/user_hives.h"

#include "platform/account.h"
#include "platform/handles.h"
#include "platform/hardening.h"
#include "platform/local_path.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/text.h"

#include <vector>

namespace kestrup {

namespace {

// Another process (a virus scanner, the search indexer) may hold a key inside
// a loaded hive for a moment, and Windows refuses the unload meanwhile.
constexpr int kUnloadAttempts = 5;
constexpr DWORD kUnloadRetryMilliseconds = 200;

LONG UnloadTemporaryHive() {
    LONG result = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kUnloadAttempts; ++attempt) {
        if (attempt > 0) Sleep(kUnloadRetryMilliseconds);
        result = RegUnLoadKeyA(HKEY_LOCAL_MACHINE, kTemporaryHiveKey);
        if (result == ERROR_SUCCESS) break;
    }
    return result;
}

// A user's hive loaded under HKLM\qtxRegTempKey, unloaded when the owner goes.
class LoadedHive {
public:
    LoadedHive() = default;
    ~LoadedHive() { Unload(); }
    LoadedHive(const LoadedHive&) = delete;
    LoadedHive& operator=(const LoadedHive&) = delete;
    LONG Load(const std::string& file) {
        const LONG result = RegLoadKeyA(HKEY_LOCAL_MACHINE, kTemporaryHiveKey, file.c_str());
        loaded_ = result == ERROR_SUCCESS;
        return result;
    }
    // Unloads it now; the answer says whether it went.
    LONG Unload() {
        if (!loaded_) return ERROR_SUCCESS;
        loaded_ = false;
        return UnloadTemporaryHive();
    }

private:
    bool loaded_ = false;
};

// A hive left mounted under the temporary name by a run that was ended between
// load and unload would take every later load's place: it goes first.
LONG ClearTemporaryMount() {
    {
        KeyHandle leftover;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTemporaryHiveKey, 0, KEY_QUERY_VALUE, leftover.receive()) !=
            ERROR_SUCCESS)
            return ERROR_SUCCESS;
    }
    return UnloadTemporaryHive();
}

// RegLoadKeyA makes a new, empty hive where the file is missing, so only a
// plain file is loaded.
bool IsPlainHiveFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

std::string Expand(const std::string& text) {
    DWORD needed = ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
    if (needed == 0) return text;
    std::vector<char> out(needed + 1, '\0');
    DWORD written = ExpandEnvironmentStringsA(text.c_str(), out.data(), needed + 1);
    return (written == 0 || written > needed + 1) ? text : std::string(out.data());
}

// "ProfileImagePath" of one ProfileList subkey, expanded; false when the name
// does not fit the ANSI code page exactly, as no A call can name that folder.
bool ReadProfileImagePath(const std::string& keyPath, std::string& directory) {
    // The 95 family has only the A functions, and its names are in its code page.
    if (!IsNtFamily()) {
        RegReadString(HKEY_LOCAL_MACHINE, keyPath, "ProfileImagePath", directory);
        return true;
    }
    if (RegReadStringExact(HKEY_LOCAL_MACHINE, keyPath, "ProfileImagePath", directory) == CodePageRead::kInexact)
        return false;
    directory = Expand(directory);
    return true;
}

// The pass in one user's hive, the privileges already enabled.
UserHiveReport VisitUserHive(const UserProfile& profile, const std::string& installingSid, const UserHivePass& pass) {
    UserHiveReport report{profile.sid, profile.directory, UserHiveOutcome::kDone, ERROR_SUCCESS, std::string()};
    auto refuse = [&report](UserHiveOutcome why, LONG error) {
        report.outcome = why;
        report.error = error;
        return report;
    };
    auto run = [&](HKEY root) {
        const UserHivePassResult result = pass(root);
        report.outcome = result.outcome;
        report.error = result.error;
        return report;
    };
    // A logged-on user's hive is where Windows loaded it.
    if (!profile.sid.empty()) {
        KeyHandle users;
        if (RegOpenKeyExA(HKEY_USERS, profile.sid.c_str(), OpenLinkOption(), KEY_CREATE_SUB_KEY, users.receive()) ==
            ERROR_SUCCESS)
            return run(users.get());
    }
    if (profile.inexactName) return refuse(UserHiveOutcome::kInexactName, ERROR_NO_UNICODE_TRANSLATION);
    std::string hiveFile = profile.directory;
    AddTrailingBackslash(hiveFile);
    hiveFile += "NTUSER.DAT";
    // A path that does not fit would name another file if cut.
    if (hiveFile.size() >= MAX_PATH) return refuse(UserHiveOutcome::kPathTooLong, ERROR_SUCCESS);
    if (!IsPlainHiveFile(hiveFile)) return refuse(UserHiveOutcome::kNoHiveFile, ERROR_FILE_NOT_FOUND);
    const LONG cleared = ClearTemporaryMount();
    if (cleared != ERROR_SUCCESS) return refuse(UserHiveOutcome::kMountTaken, cleared);
    LoadedHive hive;
    const LONG loaded = hive.Load(hiveFile);
    if (loaded != ERROR_SUCCESS) {
        // The installing user's own hive is in use, and it is HKEY_CURRENT_USER.
        // Anyone else's would be written into the wrong person's settings.
        if (profile.sid.empty() || !EqualsNoCase(profile.sid, installingSid))
            return refuse(UserHiveOutcome::kNotLoaded, loaded);
        return run(HKEY_CURRENT_USER);
    }
    {
        // Closed before the unload, which Windows refuses while a key inside is open.
        KeyHandle root;
        const LONG opened =
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTemporaryHiveKey, OpenLinkOption(), KEY_CREATE_SUB_KEY, root.receive());
        if (opened == ERROR_SUCCESS)
            run(root.get());
        else
            refuse(UserHiveOutcome::kPassFailed, opened);
    }
    const LONG unloaded = hive.Unload();
    if (unloaded != ERROR_SUCCESS) return refuse(UserHiveOutcome::kLeftLoaded, unloaded);
    return report;
}

}  // namespace

UserHivePassResult WriteHiveDword(HKEY hiveRoot, const std::string& keyPath, const std::string& valueName,
                                  DWORD value) {
    KeyHandle key;
    LONG error = ERROR_SUCCESS;
    switch (OpenKeyWithoutLinks(hiveRoot, keyPath, KEY_SET_VALUE, true, key, error)) {
    case LinkSafeKey::kOpened:
        break;
    case LinkSafeKey::kLink:
        return {UserHiveOutcome::kLinkRefused, error};
    case LinkSafeKey::kFailed:
        return {UserHiveOutcome::kPassFailed, error};
    }
    return RegSetValueExA(key.get(), valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

void EnableHivePrivileges() {
    KernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.receive())) return;
    for (const char* name : {"SeRestorePrivilege", "SeBackupPrivilege"}) {
        TOKEN_PRIVILEGES privileges = {};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid)) continue;
        AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
    }
}

std::vector<UserProfile> ListProfileDirectories() {
    std::vector<UserProfile> profiles;
    KeyHandle list;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileListKey, 0, KEY_ENUMERATE_SUB_KEYS, list.receive()) !=
            ERROR_SUCCESS &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileListKey, 0, KEY_ENUMERATE_SUB_KEYS | KEY_WOW64_64KEY,
                      list.receive()) != ERROR_SUCCESS)
        return profiles;
    char name[255];
    for (DWORD index = 0; profiles.size() < kMaxProfiles; ++index) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(list.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        // Short names are the system's own accounts (S-1-5-18 and the like).
        if (length <= 8) continue;
        std::string directory;
        const bool exact = ReadProfileImagePath(std::string(kProfileListKey) + "\\" + name, directory);
        // Expanded with the installer's environment, which the user's own
        // variables feed: only a folder on a local fixed disk is taken.
        directory = Expand(directory);
        // A "?" or "*" would be a wildcard to a file search, and no folder has one.
        if (!exact || directory.find_first_of("?*") != std::string::npos) {
            profiles.push_back({name, std::string(), true});
            continue;
        }
        if (!IsOnLocalFixedDisk(directory)) continue;
        profiles.push_back({name, directory});
    }
    return profiles;
}

bool FindDefaultProfile(UserProfile& profile) {
    if (!IsNtFamily()) return false;
    std::string directory;
    if (QueryOsVersion().dwMajorVersion >= 6) {
        RegReadString(HKEY_LOCAL_MACHINE, kProfileListKey, "Default", directory);
    } else {
        std::string name;
        if (RegReadString(HKEY_LOCAL_MACHINE, kProfileListKey, "ProfilesDirectory", directory) &&
            RegReadString(HKEY_LOCAL_MACHINE, kProfileListKey, "DefaultUserProfile", name) && !name.empty()) {
            AddTrailingBackslash(directory);
            directory += name;
        } else {
            directory.clear();
        }
    }
    if (directory.empty() || !IsOnLocalFixedDisk(directory)) return false;
    profile = {std::string(), directory};
    return true;
}

std::vector<UserHiveReport> ForEveryUserHive(const std::vector<UserProfile>& profiles, const UserHivePass& pass) {
    // Enabled once: they stay enabled for the rest of the run.
    EnableHivePrivileges();
    std::string installingSid;
    GetInstallingUserSid(installingSid);
    std::vector<UserHiveReport> reports;
    for (const UserProfile& profile : profiles) reports.push_back(VisitUserHive(profile, installingSid, pass));
    return reports;
}

std::vector<UserHiveReport> WriteEveryUserHiveDword(const std::vector<UserProfile>& profiles,
                                                    const std::string& keyPath, const std::string& valueName,
                                                    DWORD value) {
    std::vector<UserHiveReport> reports =
        ForEveryUserHive(profiles, [&](HKEY hiveRoot) { return WriteHiveDword(hiveRoot, keyPath, valueName, value); });
    for (UserHiveReport& report : reports) report.value = valueName;
    return reports;
}

UserHiveReport WriteUserHiveDword(const std::string& keyPath, const std::string& valueName, DWORD value,
                                  const UserProfile& profile) {
    return WriteEveryUserHiveDword({profile}, keyPath, valueName, value).front();
}

bool IsUserHiveFailure(UserHiveOutcome outcome) {
    return outcome == UserHiveOutcome::kNotLoaded || outcome == UserHiveOutcome::kMountTaken ||
           outcome == UserHiveOutcome::kLeftLoaded || outcome == UserHiveOutcome::kLinkRefused ||
           outcome == UserHiveOutcome::kInexactName;
}

std::string DescribeUserHive(const UserHiveReport& report) {
    const std::string mount = std::string("HKEY_LOCAL_MACHINE\\") + kTemporaryHiveKey;
    std::string why;
    switch (report.outcome) {
    case UserHiveOutcome::kDone:
        why = "written";
        break;
    case UserHiveOutcome::kPassFailed:
        why = "could not be written";
        break;
    case UserHiveOutcome::kLinkRefused:
        why = "not written: a key on the way in the user's hive is a registry link, which is never followed";
        break;
    case UserHiveOutcome::kPathTooLong:
        why = "not written: the path of NTUSER.DAT is too long";
        break;
    case UserHiveOutcome::kNoHiveFile:
        why = "not written: the profile has no NTUSER.DAT";
        break;
    case UserHiveOutcome::kNotLoaded:
        why = "not written: the hive is not under HKEY_USERS and could not be loaded";
        break;
    case UserHiveOutcome::kMountTaken:
        why = "not written: another hive stays loaded at " + mount;
        break;
    case UserHiveOutcome::kInexactName:
        why = "not written: the name of the profile folder does not fit the system's ANSI code page";
        break;
    case UserHiveOutcome::kLeftLoaded:
        why = "done, but the hive stays loaded at " + mount +
              " until Windows restarts, and the user's own logon cannot load it meanwhile";
        break;
    }
    const std::string who = report.sid.empty() ? " for the default profile" : " for user " + report.sid;
    std::string text = report.value + who + " (" + report.directory + ") " + why;
    if (report.error != ERROR_SUCCESS) text += " (error " + IntToText(static_cast<int>(report.error)) + ")";
    return text + ".";
}

}  // namespace kestrup
