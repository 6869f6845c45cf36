#include "platform/user_hives.h"

#include "platform/handles.h"
#include "platform/local_path.h"
#include "platform/registry.h"
#include "platform/text.h"

#include <vector>

namespace kestrup {

namespace {

// A user's hive loaded under HKLM\qtxRegTempKey, unloaded when the owner goes.
class LoadedHive {
public:
    explicit LoadedHive(const std::string& file)
        : loaded_(RegLoadKeyA(HKEY_LOCAL_MACHINE, kTemporaryHiveKey, file.c_str()) == ERROR_SUCCESS) {}
    ~LoadedHive() {
        if (loaded_) RegUnLoadKeyA(HKEY_LOCAL_MACHINE, kTemporaryHiveKey);
    }
    LoadedHive(const LoadedHive&) = delete;
    LoadedHive& operator=(const LoadedHive&) = delete;
    bool loaded() const { return loaded_; }

private:
    bool loaded_;
};

std::string Expand(const std::string& text) {
    DWORD needed = ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
    if (needed == 0) return text;
    std::vector<char> out(needed + 1, '\0');
    DWORD written = ExpandEnvironmentStringsA(text.c_str(), out.data(), needed + 1);
    return (written == 0 || written > needed + 1) ? text : std::string(out.data());
}

}  // namespace

void EnableRestorePrivilege() {
    KernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.receive())) return;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &privileges.Privileges[0].Luid)) return;
    TOKEN_PRIVILEGES previous = {};
    DWORD previousSize = 0;
    AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof previous, &previous, &previousSize);
}

std::vector<std::string> ListProfileDirectories() {
    std::vector<std::string> directories;
    KeyHandle list;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileListKey, 0, KEY_ENUMERATE_SUB_KEYS, list.receive()) !=
            ERROR_SUCCESS &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileListKey, 0, KEY_ENUMERATE_SUB_KEYS | KEY_WOW64_64KEY,
                      list.receive()) != ERROR_SUCCESS)
        return directories;
    char name[255];
    for (DWORD index = 0; directories.size() < kMaxProfiles; ++index) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(list.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        // Short names are the system's own accounts (S-1-5-18 and the like).
        if (length <= 8) continue;
        std::string directory;
        RegReadString(HKEY_LOCAL_MACHINE, std::string(kProfileListKey) + "\\" + name, "ProfileImagePath", directory);
        // Expanded with the installer's environment, which the user's own
        // variables feed: only a folder on a local fixed disk is taken.
        directory = Expand(directory);
        if (!IsOnLocalFixedDisk(directory)) continue;
        directories.push_back(directory);
    }
    return directories;
}

namespace {

// WriteUserHiveDword once the privilege is enabled.
void WriteIntoUserHive(const std::string& keyPath, const std::string& valueName, DWORD value,
                       const std::string& profileDirectory) {
    std::string hiveFile = profileDirectory;
    AddTrailingBackslash(hiveFile);
    hiveFile += "NTUSER.DAT";
    // A path that does not fit would name another file if cut: such a profile is left alone.
    if (hiveFile.size() >= MAX_PATH) return;
    LoadedHive hive(hiveFile);
    if (!hive.loaded()) {
        // Most often the logged-on user's own hive, which is in use.
        RegWriteDword(HKEY_CURRENT_USER, keyPath, valueName, value);
        return;
    }
    // RegWriteDword closes its key before the hive's owner unloads it.
    RegWriteDword(HKEY_LOCAL_MACHINE, std::string(kTemporaryHiveKey) + "\\" + keyPath, valueName, value);
}

}  // namespace

void WriteUserHiveDword(const std::string& keyPath, const std::string& valueName, DWORD value,
                        const std::string& profileDirectory) {
    EnableRestorePrivilege();
    WriteIntoUserHive(keyPath, valueName, value, profileDirectory);
}

void WriteEveryUserHiveDword(const std::vector<std::string>& profileDirectories, const std::string& keyPath,
                             const std::string& valueName, DWORD value) {
    // Enabled once: it stays enabled for the rest of the run.
    EnableRestorePrivilege();
    for (const std::string& directory : profileDirectories) WriteIntoUserHive(keyPath, valueName, value, directory);
}

}  // namespace kestrup
