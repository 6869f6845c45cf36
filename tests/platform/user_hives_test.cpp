#include "platform/user_hives.h"

#include "support/machine_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kProfiles[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char kBob[] = "C:\\Documents and Settings\\bob";

class UserHivesTest : public MachineTest {
protected:
    void AddProfile(const std::string& sid, const std::string& directory, View view = View::k32,
                    DWORD type = REG_EXPAND_SZ) {
        m.SetString(HKEY_LOCAL_MACHINE, std::string(kProfiles) + "\\" + sid, "ProfileImagePath", directory, view, type);
    }
    std::vector<std::string> Directories() {
        std::vector<std::string> directories;
        for (const UserProfile& p : ListProfileDirectories()) directories.push_back(p.directory);
        return directories;
    }
};

TEST_F(UserHivesTest, ProfileListSkipsShortNamesAndFoldersNotOnALocalFixedDisk) {
    AddProfile("S-1-5-18", "%SystemRoot%\\system32\\config\\systemprofile");
    AddProfile("S-1-5-19", "C:\\LocalService");
    AddProfile("S-1-5-20", "C:\\NetworkService");
    AddProfile("S-1-5-21-1-2-3-1003", "%SystemDrive%\\Documents and Settings\\bob");
    m.CreateKey(HKEY_LOCAL_MACHINE, std::string(kProfiles) + "\\S-1-5-21-1-2-3-1004");  // no ProfileImagePath
    m.SetEnv("NESTED", "%SystemDrive%\\Nested");
    AddProfile("S-1-5-21-1-2-3-1005", "%NESTED%\\carol", View::k32, REG_SZ);  // expanded twice
    m.SetEnv("HOMESHARE", "\\\\attacker\\share");  // the user's own variables feed the expansion
    AddProfile("S-1-5-21-1-2-3-1006", "%HOMESHARE%\\dave");
    EXPECT_EQ(Directories(), (std::vector<std::string>{kBob, "C:\\Nested\\carol"}));
    EXPECT_EQ(ListProfileDirectories().front().sid, "S-1-5-21-1-2-3-1003");
}

TEST_F(UserHivesTest, ProfileListFromThe64BitViewAndAtMost500) {
    for (int i = 0; i < 510; ++i) {
        char sid[64];
        std::snprintf(sid, sizeof sid, "S-1-5-21-9-9-9-%04d", i);
        AddProfile(sid, "C:\\Users\\u" + std::to_string(i), View::k64);
    }
    std::vector<std::string> profiles = Directories();
    ASSERT_EQ(profiles.size(), 500u);
    EXPECT_EQ(profiles.front(), "C:\\Users\\u0");
    EXPECT_EQ(profiles.back(), "C:\\Users\\u499");
}

TEST_F(UserHivesTest, NoProfileList) { EXPECT_TRUE(ListProfileDirectories().empty()); }

TEST_F(UserHivesTest, ValueLandsInAnotherUsersHive) {
    const std::string dirs[] = {kBob, std::string(kBob) + "\\"};  // no second backslash
    ForEachRow(dirs, [&](const std::string& dir) {
        m.AddHiveFile(std::string(kBob) + "\\NTUSER.DAT");
        EXPECT_EQ(WriteUserHiveDword("Software\\Test", "Value", 7, {"S-1-5-21-1-2-3-1004", dir}).outcome,
                  UserHiveOutcome::kDone);
        const winsim::RegValue* v = m.HiveValue(std::string(kBob) + "\\NTUSER.DAT", "Software\\Test", "Value");
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->dword(), 7u);
        ASSERT_EQ(m.hiveEvents.size(), 2u);
        EXPECT_EQ(m.hiveEvents[0].operation, "load");
        EXPECT_EQ(m.hiveEvents[0].subkey, "qtxRegTempKey");
        EXPECT_EQ(m.hiveEvents[0].file, std::string(kBob) + "\\NTUSER.DAT");
        EXPECT_EQ(m.hiveEvents[1].operation, "unload");
        EXPECT_EQ(m.hiveEvents[1].result, ERROR_SUCCESS);  // the key was closed first
        EXPECT_EQ(m.FindKey(HKEY_LOCAL_MACHINE, "qtxRegTempKey"), nullptr);
        EXPECT_FALSE(m.HasValue(HKEY_CURRENT_USER, "Software\\Test", "Value"));
        EXPECT_TRUE(m.privilegesEnabled.count("SeRestorePrivilege"));
        EXPECT_TRUE(m.privilegesEnabled.count("SeBackupPrivilege"));
    });
}

TEST_F(UserHivesTest, OnlyTheInstallingUsersOwnHiveFallsBackToTheCurrentUser) {
    constexpr char kOwn[] = "S-1-5-21-1-2-3-1003";  // the token's user
    struct Row {
        const char* sid;
        std::string dir;
        UserHiveOutcome outcome;
        bool loadTried;
    } rows[] = {
        {kOwn, "C:\\Documents and Settings\\alice", UserHiveOutcome::kDone, true},  // in use
        {kOwn, "C:\\Documents and Settings\\broken", UserHiveOutcome::kDone, true},
        {"S-1-5-21-1-2-3-1004", "C:\\Documents and Settings\\broken", UserHiveOutcome::kNotLoaded, true},
        {kOwn, "C:\\Documents and Settings\\gone", UserHiveOutcome::kNoHiveFile, false},
        {kOwn, "", UserHiveOutcome::kNoHiveFile, false},
    };
    ForEachRow(rows, [&](const Row& row) {
        m.AddHiveFile("C:\\Documents and Settings\\alice\\NTUSER.DAT", true);
        m.AddFile("C:\\Documents and Settings\\broken\\NTUSER.DAT", "garbage");
        m.AddDirectory("C:\\Documents and Settings\\gone");
        EXPECT_EQ(WriteUserHiveDword("Software\\Test", "Value", 1, {row.sid, row.dir}).outcome, row.outcome);
        EXPECT_EQ(m.HasValue(HKEY_CURRENT_USER, "Software\\Test", "Value"), row.outcome == UserHiveOutcome::kDone);
        ASSERT_EQ(m.hiveEvents.size(), row.loadTried ? 1u : 0u);  // no unload after a failed load
        if (row.loadTried) EXPECT_NE(m.hiveEvents[0].result, ERROR_SUCCESS);
        EXPECT_FALSE(m.FindFile("C:\\Documents and Settings\\gone\\NTUSER.DAT"));
    });
}

TEST_F(UserHivesTest, HiveIsUnloadedWhenTheWriteFails) {
    m.AddHiveFile(std::string(kBob) + "\\NTUSER.DAT").denyWrite = true;
    EXPECT_EQ(WriteUserHiveDword("Software\\Test", "Value", 1, {"S-1-5-21-1-2-3-1004", kBob}).outcome,
              UserHiveOutcome::kPassFailed);
    ASSERT_EQ(m.hiveEvents.size(), 2u);
    EXPECT_EQ(m.hiveEvents[1].result, ERROR_SUCCESS);
    EXPECT_EQ(m.FindKey(HKEY_LOCAL_MACHINE, "qtxRegTempKey"), nullptr);
    EXPECT_FALSE(m.HasValue(HKEY_CURRENT_USER, "Software\\Test", "Value"));  // not sent elsewhere
}

TEST_F(UserHivesTest, OverlongProfileDirectoryIsLeftAlone) {
    EXPECT_EQ(WriteUserHiveDword("Software\\Test", "Value", 1, {"S-1-5-21-1-2-3-1003", "C:\\" + std::string(260, 'p')})
                  .outcome,
              UserHiveOutcome::kPathTooLong);
    EXPECT_TRUE(m.hiveEvents.empty());
    EXPECT_FALSE(m.HasValue(HKEY_CURRENT_USER, "Software\\Test", "Value"));
}

}  // namespace
