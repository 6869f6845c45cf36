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
    const winsim::RegValue* HiveValue(const std::string& hive, const std::string& key, const std::string& name) {
        winsim::RegKey* k = m.hiveFiles.at(hive).get();
        for (auto& part : winsim::SplitPath(key)) {
            auto it = k->subkeys.find(part);
            if (it == k->subkeys.end()) return nullptr;
            k = it->second.get();
        }
        return k->find(name);
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
    EXPECT_EQ(ListProfileDirectories(), (std::vector<std::string>{kBob, "C:\\Nested\\carol"}));
}

TEST_F(UserHivesTest, ProfileListFromThe64BitViewAndAtMost500) {
    for (int i = 0; i < 510; ++i) {
        char sid[64];
        std::snprintf(sid, sizeof sid, "S-1-5-21-9-9-9-%04d", i);
        AddProfile(sid, "C:\\Users\\u" + std::to_string(i), View::k64);
    }
    std::vector<std::string> profiles = ListProfileDirectories();
    ASSERT_EQ(profiles.size(), 500u);
    EXPECT_EQ(profiles.front(), "C:\\Users\\u0");
    EXPECT_EQ(profiles.back(), "C:\\Users\\u499");
}

TEST_F(UserHivesTest, NoProfileList) { EXPECT_TRUE(ListProfileDirectories().empty()); }

TEST_F(UserHivesTest, ValueLandsInAnotherUsersHive) {
    const std::string dirs[] = {kBob, std::string(kBob) + "\\"};  // no second backslash
    ForEachRow(dirs, [&](const std::string& dir) {
        m.AddHiveFile(std::string(kBob) + "\\NTUSER.DAT");
        WriteUserHiveDword("Software\\Test", "Value", 7, dir);
        const winsim::RegValue* v = HiveValue(std::string(kBob) + "\\NTUSER.DAT", "Software\\Test", "Value");
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
    });
}

TEST_F(UserHivesTest, UnloadableHivesFallBackToTheCurrentUser) {
    const std::string dirs[] = {"C:\\Documents and Settings\\alice", "C:\\Documents and Settings\\gone",
                                "C:\\Documents and Settings\\broken", ""};
    ForEachRow(dirs, [&](const std::string& dir) {
        m.AddHiveFile("C:\\Documents and Settings\\alice\\NTUSER.DAT", true);  // in use
        m.AddFile("C:\\Documents and Settings\\broken\\NTUSER.DAT", "garbage");
        WriteUserHiveDword("Software\\Test", "Value", 1, dir);
        EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, "Software\\Test", "Value"), 1u) << dir;
        ASSERT_EQ(m.hiveEvents.size(), 1u) << dir;  // no unload after a failed load
        EXPECT_NE(m.hiveEvents[0].result, ERROR_SUCCESS);
        if (dir.empty()) EXPECT_EQ(m.hiveEvents[0].file, "\\NTUSER.DAT");
    });
}

TEST_F(UserHivesTest, HiveIsUnloadedWhenTheWriteFails) {
    m.AddHiveFile(std::string(kBob) + "\\NTUSER.DAT").denyWrite = true;
    WriteUserHiveDword("Software\\Test", "Value", 1, kBob);
    ASSERT_EQ(m.hiveEvents.size(), 2u);
    EXPECT_EQ(m.hiveEvents[1].result, ERROR_SUCCESS);
    EXPECT_EQ(m.FindKey(HKEY_LOCAL_MACHINE, "qtxRegTempKey"), nullptr);
    EXPECT_FALSE(m.HasValue(HKEY_CURRENT_USER, "Software\\Test", "Value"));  // not sent elsewhere
}

TEST_F(UserHivesTest, OverlongProfileDirectoryIsLeftAlone) {
    WriteUserHiveDword("Software\\Test", "Value", 1, "C:\\" + std::string(260, 'p'));
    EXPECT_TRUE(m.hiveEvents.empty());
    EXPECT_FALSE(m.HasValue(HKEY_CURRENT_USER, "Software\\Test", "Value"));
}

}  // namespace
