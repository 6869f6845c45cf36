// Every user's Firefox profiles, found through the profiles.ini below each
// profile directory. The installer runs elevated but these folders belong to
// their users: every folder from the profile directory down to each prefs.js
// must be plain (no reparse point) and stays held while it is used, so none
// can be swapped for a link between the check and the use. A profile that is
// not safe is left alone, with its reason; the others go on.
#include "integration/firefox.h"

#include "platform/file_ops.h"
#include "platform/handles.h"
#include "platform/hardening.h"
#include "platform/local_path.h"
#include "platform/os_version.h"
#include "platform/program_dir.h"
#include "platform/registry.h"
#include "platform/safe_files.h"
#include "platform/text.h"
#include "platform/user_hives.h"

#include <windows.h>

#include <cctype>
#include <cstring>
#include <new>
#include <vector>

namespace kestrup {

namespace {

constexpr char kLegacyAppData[] = "Application Data";
constexpr char kRoamingAppData[] = "AppData\\Roaming";
constexpr char kFirefoxBelowAppData[] = "\\Mozilla\\Firefox";
constexpr char kLegacyProfilesFolder[] = "Documents and Settings";
constexpr char kUserShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr char kUserProfileReference[] = "%USERPROFILE%";
constexpr size_t kMaxIniPath = 254;
constexpr int kMaxProfileSections = 100;

// Windows Vista and later (NT 6.x and on) keep a user's application data in
// "AppData\Roaming". "Application Data", "C:\Documents and Settings" and the
// other old names are junctions whose own access list denies reading them:
// they are never opened, and paths written through them are read as Windows
// resolves them.
bool HasRoamingAppData() {
    OSVERSIONINFOA version = QueryOsVersion();
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}

// The path as Windows reads it: repeated backslashes as one, "." dropped, ".."
// taking away the folder before it. root receives the drive ("C:\") or share
// ("\\server\share\"). False for a path that is neither, or that climbs above
// its root.
bool NormalisePath(const std::string& path, std::string& normal, std::string& root) {
    size_t pos;
    if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && path[2] == '\\') {
        root = path.substr(0, 3);
        pos = 3;
    } else if (path.compare(0, 2, "\\\\") == 0) {
        size_t server = path.find('\\', 2);
        size_t share = server == std::string::npos ? std::string::npos : path.find('\\', server + 1);
        if (server == std::string::npos || server == 2 || share == std::string::npos || share == server + 1)
            return false;
        root = path.substr(0, share + 1);
        pos = share + 1;
    } else {
        return false;
    }
    std::vector<std::string> parts;
    while (pos <= path.size()) {
        size_t end = path.find('\\', pos);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(pos, end - pos);
        if (part == "..") {
            if (parts.empty()) return false;
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    normal = root;
    for (size_t i = 0; i < parts.size(); ++i) normal += (i ? "\\" : "") + parts[i];
    return true;
}

// The user's application-data folder below the profile directory.
std::string ApplicationDataFolder(const std::string& profileBase) {
    return profileBase + (HasRoamingAppData() ? kRoamingAppData : kLegacyAppData);
}

// No folder's name holds one, and a file search would take it for a wildcard.
bool HasWildcard(const std::string& path) { return path.find_first_of("?*") != std::string::npos; }

// The user's application-data folder as her own hive records it: localised
// before Vista ("Anwendungsdaten", "Datos de programa"), and anywhere an
// administrator redirected it. Empty when the hive has no such value or cannot
// be reached; the default names stand then.
std::string RecordedAppData(const UserProfile& profile, std::vector<UserHiveReport>& hiveFailures) {
    std::string value;
    UserHiveReport report = ForEveryUserHive({profile}, [&value](HKEY hiveRoot) {
                                RegReadUnexpandedString(hiveRoot, kUserShellFolders, "AppData", value);
                                return true;
                            }).front();
    // A hive the read could not unload blocks that user's next logon. Any other
    // refusal only leaves the default names, and the passes that write say it.
    if (report.outcome == UserHiveOutcome::kLeftLoaded) {
        report.value = "AppData";
        hiveFailures.push_back(report);
    }
    return value;
}

// %USERPROFILE% is the user's own profile folder. Any other reference would be
// read from the installer's environment, which is not hers: false.
bool ExpandForUser(const std::string& value, const std::string& profileDirectory, std::string& out) {
    out.clear();
    size_t pos = 0;
    for (size_t at; (at = value.find('%', pos)) != std::string::npos; pos = at + std::strlen(kUserProfileReference)) {
        if (!BeginsWithNoCase(value.substr(at), kUserProfileReference)) return false;
        out += value.substr(pos, at - pos) + profileDirectory;
    }
    out += value.substr(pos);
    return true;
}

// Where old names lead on Windows Vista and later: "C:\Documents and Settings"
// to the profiles folder, the user's own "Application Data" to AppData\Roaming.
struct CompatibilityNames {
    std::string legacyProfiles;  // "C:\Documents and Settings\", empty when unknown
    std::string profiles;        // the profiles folder with its trailing backslash
};

CompatibilityNames FindCompatibilityNames() {
    CompatibilityNames names;
    std::string windows, profiles;
    if (!HasRoamingAppData() || !WindowsDirectory(windows) || windows.size() < 3 ||
        !RegReadString(HKEY_LOCAL_MACHINE, kProfileListKey, "ProfilesDirectory", profiles) || profiles.empty())
        return names;
    names.legacyProfiles = windows.substr(0, 3) + kLegacyProfilesFolder + "\\";
    names.profiles = profiles;
    AddTrailingBackslash(names.profiles);
    return names;
}

// The path with a leading old name replaced by the folder it leads to.
std::string ThroughCompatibilityNames(std::string path, const std::string& profileBase,
                                      const CompatibilityNames& names) {
    if (!HasRoamingAppData()) return path;
    if (!names.legacyProfiles.empty() && BeginsWithNoCase(path, names.legacyProfiles))
        path = names.profiles + path.substr(names.legacyProfiles.size());
    const std::string legacyAppData = profileBase + kLegacyAppData + "\\";
    if (BeginsWithNoCase(path, legacyAppData))
        path = profileBase + kRoamingAppData + "\\" + path.substr(legacyAppData.size());
    return path;
}

// Her profiles.ini may name any folder: outside her profile folder only one
// she owns, with a prefs.js she owns, is hers to change. The last folder held
// is the profile's. kRewritten: it is hers.
ProfileOutcome CheckUsersOwnProfile(const std::string& sid, const std::vector<FileHandle>& profileHeld,
                                    const std::string& prefsPath) {
    // The Windows 95 family keeps no owners, and gives every user every file.
    if (!IsNtFamily()) return ProfileOutcome::kRewritten;
    std::string folderOwner, prefsOwner;
    if (profileHeld.empty() || !GetOwnerSid(profileHeld.back().get(), folderOwner) || !EqualsNoCase(folderOwner, sid))
        return ProfileOutcome::kNotUsersOwn;
    FileHandle prefs;
    BY_HANDLE_FILE_INFORMATION info;
    const UserFileOpen opened = OpenPlainFile(prefsPath, prefs, info);
    if (opened == UserFileOpen::kOplocked) return ProfileOutcome::kOplocked;
    return opened == UserFileOpen::kOpened && GetOwnerSid(prefs.get(), prefsOwner) && EqualsNoCase(prefsOwner, sid)
               ? ProfileOutcome::kRewritten
               : ProfileOutcome::kNotUsersOwn;
}

// The held profile folder: the last folder held on the way to it, or the
// Firefox folder when nothing below it was (the profile is kept there). Null
// where none is held (the Windows 95 family holds no folders).
HANDLE ProfileFolderHandle(const std::vector<FileHandle>& firefoxHeld, const std::vector<FileHandle>& profileHeld,
                           bool belowFirefox) {
    if (!profileHeld.empty()) return profileHeld.back().get();
    return belowFirefox && !firefoxHeld.empty() ? firefoxHeld.back().get() : nullptr;
}

// One user's Firefox profiles, from profiles.ini below the profile directory.
void ConfigureUserProfiles(const UserProfile& profile, const std::string& installingSid,
                           const CompatibilityNames& names, std::vector<ProfileReport>& reports,
                           std::vector<UserHiveReport>& hiveFailures) {
    const std::string& profileDirectory = profile.directory;
    if (profileDirectory.empty()) return;
    ProfileOwnerDomain owner(profile.sid, installingSid);
    std::string profileBase = profileDirectory;
    AddTrailingBackslash(profileBase);
    auto leave = [&reports](const std::string& path, ProfileOutcome why) { reports.push_back({path, why}); };
    std::string appData = ApplicationDataFolder(profileBase);
    std::string appDataTop = profileBase;  // where the folders held down to Firefox's begin
    const std::string recorded = RecordedAppData(profile, hiveFailures);
    if (!recorded.empty()) {
        const std::string recordedIni = recorded + kFirefoxBelowAppData + "\\profiles.ini";
        std::string expanded, root;
        if (!ExpandForUser(recorded, profileDirectory, expanded) || !NormalisePath(expanded, appData, root))
            return leave(recordedIni, ProfileOutcome::kPathUnusable);
        // A folder redirected to a share is never followed there.
        if (!IsOnLocalFixedDisk(appData)) return leave(recordedIni, ProfileOutcome::kNotOnLocalDisk);
        if (HasWildcard(appData)) return leave(recordedIni, ProfileOutcome::kPathUnusable);
        if (!BeginsWithNoCase(appData + "\\", profileBase)) appDataTop = root;
    }
    const std::string firefoxFolder = appData + kFirefoxBelowAppData;
    const std::string iniPath = firefoxFolder + "\\profiles.ini";
    // Paths that do not fit are never used cut.
    if (iniPath.size() > kMaxIniPath) return leave(iniPath, ProfileOutcome::kPathTooLong);

    // Held before anything below them is looked at: even a search for
    // profiles.ini through a link would follow it (to a share, authenticating).
    std::vector<FileHandle> held;
    const FolderHold firefoxHold = HoldFolders(appDataTop, firefoxFolder, held);
    if (firefoxHold == FolderHold::kMissing) return;
    if (firefoxHold == FolderHold::kUnsafe) return leave(iniPath, ProfileOutcome::kUnsafeFolder);
    if (!FileExists(iniPath)) return;
    FileHandle ini;
    BY_HANDLE_FILE_INFORMATION iniInfo;
    // GetPrivateProfileStringA opens the file again, plainly. While this handle
    // is open, no exclusive oplock (batch, filter, level 1) can be granted on
    // it, so none can make that open wait.
    switch (OpenPlainFile(iniPath, ini, iniInfo)) {
    case UserFileOpen::kOpened:
        break;
    case UserFileOpen::kOplocked:
        return leave(iniPath, ProfileOutcome::kOplocked);
    case UserFileOpen::kFailed:
        return leave(iniPath, ProfileOutcome::kUnsafeFile);
    }

    for (int i = 0; i < kMaxProfileSections; ++i) {
        const std::string section = "Profile" + IntToText(i);
        char value[MAX_PATH] = {};
        DWORD length = GetPrivateProfileStringA(section.c_str(), "Path", "", value, MAX_PATH, iniPath.c_str());
        if (length == 0) break;        // the first section without a Path ends the list
        if (length >= MAX_PATH - 1) {  // possibly cut
            leave(value, ProfileOutcome::kPathTooLong);
            continue;
        }
        const bool relative = GetPrivateProfileIntA(section.c_str(), "IsRelative", 0, iniPath.c_str()) == 1;
        std::string folder = relative ? firefoxFolder + "\\" + value : std::string(value);
        AddTrailingBackslash(folder);
        std::string prefsPath = folder + "prefs.js";
        ReplaceChar(prefsPath, "/", "\\");
        std::string root;
        if (!NormalisePath(prefsPath, prefsPath, root) ||
            !NormalisePath(ThroughCompatibilityNames(prefsPath, profileBase, names), prefsPath, root)) {
            leave(prefsPath, ProfileOutcome::kPathUnusable);
            continue;
        }
        // The user's own file names it: a share would make the installer authenticate to a host of theirs.
        if (!IsOnLocalFixedDisk(prefsPath)) {
            leave(prefsPath, ProfileOutcome::kNotOnLocalDisk);
            continue;
        }
        if (HasWildcard(prefsPath)) {
            leave(prefsPath, ProfileOutcome::kPathUnusable);
            continue;
        }
        if (prefsPath.size() + std::strlen(".BACKUP") >= MAX_PATH) {
            leave(prefsPath, ProfileOutcome::kPathTooLong);
            continue;
        }
        std::string profileFolder = prefsPath;
        StripFileName(profileFolder);
        std::vector<FileHandle> profileHeld;
        // Below the Firefox folder (the usual relative profile) the folders up
        // to it are held already; only those below are taken.
        const std::string firefoxTop = firefoxFolder + "\\";
        const bool belowFirefox = BeginsWithNoCase(profileFolder + "\\", firefoxTop);
        const std::string top = BeginsWithNoCase(profileFolder + "\\", profileBase) ? profileBase : root;
        const FolderHold profileHold = belowFirefox ? HoldFolders(firefoxTop, profileFolder + "\\", profileHeld)
                                                    : HoldFolders(top, profileFolder, profileHeld);
        if (profileHold != FolderHold::kHeld || !FileExists(prefsPath)) {
            leave(prefsPath,
                  profileHold == FolderHold::kUnsafe ? ProfileOutcome::kUnsafeFolder : ProfileOutcome::kNoPrefsFile);
            continue;
        }
        const ProfileOutcome whose = BeginsWithNoCase(prefsPath, profileBase)
                                         ? ProfileOutcome::kRewritten
                                         : CheckUsersOwnProfile(profile.sid, profileHeld, prefsPath);
        if (whose != ProfileOutcome::kRewritten) {
            leave(prefsPath, whose);
            continue;
        }
        // A prefs.js with a line the 32-bit installer cannot hold costs that
        // profile only; every handle is released on the way out.
        try {
            leave(prefsPath,
                  RewriteHeldPrefsFile(prefsPath, ProfileFolderHandle(held, profileHeld, belowFirefox), owner));
        } catch (const std::bad_alloc&) {
            leave(prefsPath, ProfileOutcome::kOutOfMemory);
        }
    }
}

}  // namespace

std::string DescribeProfile(const ProfileReport& report) {
    const char* why = "";
    switch (report.outcome) {
    case ProfileOutcome::kRewritten:
        why = "rewritten";
        break;
    case ProfileOutcome::kPathTooLong:
        why = "left alone: the path is too long to be used whole";
        break;
    case ProfileOutcome::kPathUnusable:
        why = "left alone: the path leads to no drive or share, climbs above its root, or names a variable";
        break;
    case ProfileOutcome::kNotOnLocalDisk:
        why = "left alone: not on a local fixed disk";
        break;
    case ProfileOutcome::kNoPrefsFile:
        why = "left alone: the profile has no prefs.js";
        break;
    case ProfileOutcome::kNotUsersOwn:
        why = "left alone: outside the user's profile folder, and not the user's own";
        break;
    case ProfileOutcome::kUnsafeFolder:
        why = "left alone: a folder on the way is missing, a link, or not a folder";
        break;
    case ProfileOutcome::kUnsafeFile:
        why = "left alone: the file is a link, a folder, has a second name, or is 4 GB or more";
        break;
    case ProfileOutcome::kUnsafeBackup:
        why = "left alone: something other than a plain file is at the backup's name";
        break;
    case ProfileOutcome::kUnsafeTemporary:
        why = "left alone: the temporary file could not be made";
        break;
    case ProfileOutcome::kUnreadable:
        why = "left alone: prefs.js could not be read, or holds a line longer than a preference can be";
        break;
    case ProfileOutcome::kWriteFailed:
        why = "left alone: the temporary file could not be written whole (a full disk?)";
        break;
    case ProfileOutcome::kCopyBackFailed:
        why = "left alone: prefs.js could not be replaced and keeps its old contents";
        break;
    case ProfileOutcome::kOutOfMemory:
        why = "left alone: a line too long for the installer's memory";
        break;
    case ProfileOutcome::kOplocked:
        why =
            "left alone: another program holds an opportunistic lock on one of its files, which the run does not "
            "wait for";
        break;
    }
    return "Firefox profile " + report.path + ": " + why;
}

std::vector<ProfileReport> ConfigureFirefoxProfiles(std::vector<UserHiveReport>& hiveFailures) {
    // SeRestorePrivilege also lets a replaced prefs.js keep its user as owner.
    EnableHivePrivileges();
    const CompatibilityNames names = FindCompatibilityNames();
    std::string installingSid;
    GetInstallingUserSid(installingSid);
    std::vector<ProfileReport> reports;
    for (const UserProfile& profile : ListProfileDirectories())
        ConfigureUserProfiles(profile, installingSid, names, reports, hiveFailures);
    return reports;
}

}  // namespace kestrup
