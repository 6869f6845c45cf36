// The per-user settings of a run as a deployment tool starts it: as SYSTEM on
// 64-bit Windows 10, with some users logged on and others not.
#include "driver/run.h"

#include "site_constants.h"
#include "support/machine_fixture.h"

#include <functional>

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kProfileList[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr char kKrb5Cred[] = "Software\\MIT\\NetIdMgr\\PluginManager\\Plugins\\Krb5Cred\\Parameters";
const std::string kSspi = "user_pref(\"network.auth.use-sspi\", false);";
const std::string kTrusted = "user_pref(\"network.negotiate-auth.trusted-uris\", \"";

// Each user's account domain; alice's SID is the token's when she runs it.
const std::map<std::string, std::pair<std::string, std::string>> kUsers = {
    {"alice", {"S-1-5-21-1-2-3-1003", "KESTRUP-PC"}}, {"bob", {"S-1-5-21-1-2-3-1004", "WINLAB"}},
    {"carol", {"S-1-5-21-1-2-3-1005", "KESTRUP-PC"}}, {"dave", {"S-1-5-21-1-2-3-1006", "KESTRUP-PC"}},
    {"frank", {"S-1-5-21-1-2-3-1007", "KESTRUP-PC"}}, {"gina", {"S-1-5-21-1-2-3-1008", "KESTRUP-PC"}},
};

std::string Home(const std::string& user) { return "C:\\Users\\" + user; }
std::string HiveFile(const std::string& user) { return Home(user) + "\\NTUSER.DAT"; }
std::string Prefs(const std::string& user) {
    return Home(user) + "\\AppData\\Roaming\\Mozilla\\Firefox\\Profiles\\x.default\\prefs.js";
}

class SystemUsersTest : public MachineTest {
protected:
    void Furnish() override {
        m.SetVersion(VER_PLATFORM_WIN32_NT, 6, 2, 9200);  // Windows 10, as a program without a manifest sees it
        m.runningAsSystem = true;
        m.logonUser = "SYSTEM";
        m.accounts["SYSTEM"] = {"NT AUTHORITY", "S-1-5-18", SidTypeWellKnownGroup};
        m.SetString(HKEY_LOCAL_MACHINE, kProfileList, "ProfilesDirectory", "%SystemDrive%\\Users", View::k64,
                    REG_EXPAND_SZ);
        m.SetString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos\\Client\\CurrentVersion", "PathName",
                    "C:\\Program Files\\MIT\\Kerberos", View::k64);
        m.AddNt6ProfilesFolder();
    }

    // A user with a profile (and, unless noHive, its NTUSER.DAT), logged on or not.
    void AddUser(const std::string& name, bool loggedOn, bool noHive = false) {
        const auto& [sid, domain] = kUsers.at(name);
        m.accounts[name] = {domain, sid};
        m.SetString(HKEY_LOCAL_MACHINE, std::string(kProfileList) + "\\" + sid, "ProfileImagePath", Home(name),
                    View::k64, REG_EXPAND_SZ);
        m.AddNt6Profile(Home(name));
        if (!noHive && loggedOn) m.LogOn(sid, HiveFile(name));
        if (!noHive && !loggedOn) m.AddHiveFile(HiveFile(name));
    }
    // The installer elevated by this user's own credentials, not as SYSTEM.
    void RunAs(const std::string& name) {
        m.runningAsSystem = false;
        m.logonUser = name;
        m.tokenSid = kUsers.at(name).first;
    }
    void AddFirefoxProfile(const std::string& name) {
        m.AddFile(Home(name) + "\\AppData\\Roaming\\Mozilla\\Firefox\\profiles.ini",
                  "[Profile0]\r\nIsRelative=1\r\nPath=Profiles/x.default\r\n");
        m.AddFile(Prefs(name), "");
    }

    // How many of the three per-user values (each 1) a place holds.
    template <class Find>
    int Values(Find find) {
        const std::string zone = std::string(kInternetSettings) + "\\ZoneMap\\Domains\\" + site::kDomain;
        int count = 0;
        for (const auto& [key, name] :
             {std::pair(zone, "https"), {kInternetSettings, "EnableNegotiate"}, {kKrb5Cred, "MsLsaList"}}) {
            const winsim::RegValue* v = find(key, name);
            count += v && v->dword() == 1;
        }
        return count;
    }
    int ValuesOf(const std::string& user) {
        return Values([&](const std::string& k, const char* n) { return m.HiveValue(HiveFile(user), k, n); });
    }
};

TEST_F(SystemUsersTest, AsSystemOnWindows10x64) {
    struct Row {
        const char* what;
        std::function<void()> arrange;
        std::map<std::string, int> values;  // per user: how many of the three values her hive holds
        std::vector<std::string> logged;    // texts the installer log must hold, one entry each
        bool mountLeft = false;
        std::vector<std::string> said = {};  // texts the step's lines for the run's log must hold
    } rows[] = {
        {"a logged-on user is written at HKEY_USERS\\<SID>, a logged-off one in her file",
         [&] {
             AddUser("bob", true);
             AddUser("carol", false);
         },
         {{"bob", 3}, {"carol", 3}}},
        {"a logged-off user alone", [&] { AddUser("carol", false); }, {{"carol", 3}}},
        {"the installer's own user as administrator, another user logged on too",
         [&] {
             RunAs("alice");
             for (const char* name : {"alice", "bob"}) {
                 AddUser(name, true);
                 AddFirefoxProfile(name);
             }
         },
         {{"alice", 3}, {"bob", 3}},
         {},
         false,
         {"Firefox profile " + Prefs("alice") + ": rewritten",
          "https for user S-1-5-21-1-2-3-1004 (C:\\Users\\bob) written"}},
        {"another administrator's elevated run: the user at the desk is not him",
         [&] {
             RunAs("dave");
             AddUser("alice", true);
             AddUser("dave", true);
         },
         {{"alice", 3}, {"dave", 3}}},
        {"a logged-on user whose hive Windows has not put under HKEY_USERS is skipped, and logged",
         [&] {
             AddUser("bob", false);
             m.hivesInUse.insert(HiveFile("bob"));
         },
         {{"bob", 0}},
         {"S-1-5-21-1-2-3-1004", "S-1-5-21-1-2-3-1004", "S-1-5-21-1-2-3-1004"}},
        {"a hive a killed run left mounted is unloaded first",
         [&] {
             AddUser("carol", false);
             m.Mount(HKEY_LOCAL_MACHINE, "qtxRegTempKey", HiveFile("carol"));
         },
         {{"carol", 3}}},
        {"a profile without NTUSER.DAT gets none",
         [&] { AddUser("frank", false, true); },
         {{"frank", 0}},
         {},
         false,
         {"MsLsaList for user S-1-5-21-1-2-3-1007 (C:\\Users\\frank) not written: the profile has no NTUSER.DAT"}},
        {"an unload refused twice is retried",
         [&] {
             AddUser("carol", false);
             m.hiveFiles.at(HiveFile("carol"))->unloadRefusals = 2;
         },
         {{"carol", 3}}},
        {"a hive that stays loaded is logged, and no later value goes astray",
         [&] {
             AddUser("gina", false);
             m.hiveFiles.at(HiveFile("gina"))->unloadRefusals = 1000;
         },
         {{"gina", 0}},  // the look-up of her AppData left it loaded
         {"AppData for user S-1-5-21-1-2-3-1008", "qtxRegTempKey", "qtxRegTempKey", "qtxRegTempKey"},
         true},
        {"a registry link a user made where a value goes is refused, logged, and nothing lands in HKLM",
         [&] {
             AddUser("bob", true);
             AddUser("carol", false);
             m.AddRegistryLink(HKEY_USERS, std::string(kUsers.at("bob").first) + "\\" + kInternetSettings,
                               "\\Registry\\Machine\\Software\\Planted", View::k64);
             // Made in her file while it was mounted for her logon.
             m.Mount(HKEY_USERS, "carol", HiveFile("carol"));
             m.AddRegistryLink(HKEY_USERS, "carol\\Software\\MIT", "\\Registry\\Machine\\Software\\Planted");
             m.RootKey(HKEY_USERS).subkeys.erase("carol");
         },
         {{"bob", 1}, {"carol", 2}},
         {"registry link", "registry link", "registry link"}},
        {"the default profile's hive gets the values for accounts made later, loaded as a logged-off user's",
         [&] {
             AddUser("bob", true);
             m.SetString(HKEY_LOCAL_MACHINE, kProfileList, "Default", "%SystemDrive%\\Users\\Default", View::k64,
                         REG_EXPAND_SZ);
             m.AddHiveFile(HiveFile("Default"));
         },
         {{"bob", 3}, {"Default", 3}}},
        {"folder names outside the code page reach nobody else's hive, and are logged",
         [&] {
             AddUser("bob", false);
             // Through the A functions "bob" and a fullwidth reverse solidus read as bob's own
             // folder, and the Cyrillic name as "C:\Users\????".
             for (const auto& [sid, folder] : {std::pair("S-1-5-21-1-2-3-1009", L"C:\\Users\\bob\xFF3C"),
                                               {"S-1-5-21-1-2-3-1010", L"C:\\Users\\\x042E\x0440\x0438\x0439"}})
                 m.SetWideString(HKEY_LOCAL_MACHINE, std::string(kProfileList) + "\\" + sid, "ProfileImagePath", folder,
                                 View::k64, REG_EXPAND_SZ);
         },
         {{"bob", 3}},
         {"S-1-5-21-1-2-3-1009", "S-1-5-21-1-2-3-1010", "S-1-5-21-1-2-3-1009", "S-1-5-21-1-2-3-1010",
          "S-1-5-21-1-2-3-1009", "S-1-5-21-1-2-3-1010"}},
        {"the SSPI line is decided by each profile's owner",
         [&] {
             for (const char* name : {"alice", "bob"}) {
                 AddUser(name, false);
                 AddFirefoxProfile(name);
             }
         },
         {{"alice", 3}, {"bob", 3}}},
    };
    ForEachRow(rows, [&](const Row& row) {
        row.arrange();
        RunFlags flags;
        flags.silent = flags.reallySilent = flags.noHotFix = true;
        std::string said;
        for (const std::string& line : RunIntegrationSteps(flags)) said += line + "\n";
        for (const std::string& text : row.said) EXPECT_NE(said.find(text), std::string::npos) << text << "\n" << said;
        for (const std::string& text : row.logged)
            EXPECT_NE(said.find(text), std::string::npos) << text << "\n" << said;
        for (const auto& [name, count] : row.values) EXPECT_EQ(ValuesOf(name), count) << row.what << ": " << name;
        auto currentUser = [&](const std::string& k, const char* n) { return m.GetValue(HKEY_CURRENT_USER, k, n); };
        if (m.runningAsSystem) EXPECT_EQ(Values(currentUser), 0) << row.what;  // SYSTEM's own settings
        EXPECT_FALSE(m.FindFile(HiveFile("frank"))) << row.what;
        EXPECT_EQ(m.FindKey(HKEY_LOCAL_MACHINE, "qtxRegTempKey") != nullptr, row.mountLeft) << row.what;
        EXPECT_EQ(m.FindKey(HKEY_LOCAL_MACHINE, "Software\\Planted", View::k64), nullptr) << row.what;
        ASSERT_EQ(LogCount(), row.logged.size()) << row.what;
        for (size_t i = 0; i < row.logged.size(); ++i)
            EXPECT_NE(LogEntry(std::to_string(i)).value_or("").find(row.logged[i]), std::string::npos)
                << row.what << ": " << LogEntry(std::to_string(i)).value_or("");
        if (m.FindFile(Prefs("alice"))) {
            EXPECT_NE(m.FindFile(Prefs("alice"))->data.find(kSspi), std::string::npos) << row.what;
            EXPECT_NE(m.FindFile(Prefs("bob"))->data.find(kTrusted), std::string::npos) << row.what;
            EXPECT_EQ(m.FindFile(Prefs("bob"))->data.find(kSspi), std::string::npos) << row.what;  // WINLAB
        }
    });
}

}  // namespace
