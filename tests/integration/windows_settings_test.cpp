#include "integration/integration.h"
#include "integration/windows_settings.h"

#include "site_constants.h"
#include "support/machine_fixture.h"

#include <psapi.h>

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kProfiles[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr char kTcpip[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

class WindowsSettingsTest : public MachineTest {
protected:
    WindowsSettingsTest() {
        int rid = 1003;  // alice, the token's user, runs the installer
        for (const char* user : {"alice", "bob", "carol"}) {
            std::string dir = std::string("C:\\Documents and Settings\\") + user;
            m.SetString(HKEY_LOCAL_MACHINE, std::string(kProfiles) + "\\S-1-5-21-1-2-3-" + std::to_string(rid++),
                        "ProfileImagePath", dir);
            m.AddHiveFile(dir + "\\NTUSER.DAT", std::string(user) == "alice");  // alice runs the installer
        }
    }
    DWORD HiveDword(const std::string& user, const std::string& key, const std::string& name) {
        const winsim::RegValue* v = m.HiveValue("C:\\Documents and Settings\\" + user + "\\NTUSER.DAT", key, name);
        return v ? v->dword() : 0xDEAD;
    }
    std::vector<std::string> Loads() {
        std::vector<std::string> files;
        for (auto& e : m.hiveEvents)
            if (e.operation == "load") files.push_back(e.file.substr(26, e.file.size() - 26 - 11));
        return files;
    }
};

TEST_F(WindowsSettingsTest, InternetExplorerForEveryUserInTwoPasses) {
    ConfigureInternetExplorer();
    const std::string zone = std::string(kInternetSettings) + "\\ZoneMap\\Domains\\" + site::kDomain;
    for (const char* user : {"bob", "carol"}) {
        EXPECT_EQ(HiveDword(user, zone, "https"), 1u) << user;
        EXPECT_EQ(HiveDword(user, kInternetSettings, "EnableNegotiate"), 1u) << user;
    }
    EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, zone, "https"), 1u);
    EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kInternetSettings, "EnableNegotiate"), 1u);
    EXPECT_EQ(Loads(), (std::vector<std::string>{"alice", "bob", "carol", "alice", "bob", "carol"}));
    EXPECT_EQ(m.FindKey(HKEY_LOCAL_MACHINE, "qtxRegTempKey"), nullptr);
    // The privileges that loading needs are enabled once per pass, not once per user.
    EXPECT_TRUE(m.privilegesEnabled.count("SeRestorePrivilege"));
    EXPECT_EQ(m.CallCount("AdjustTokenPrivileges"), 4);
}

TEST_F(WindowsSettingsTest, MsLsaListOnlyWhileKerberosForWindowsIsRegistered) {
    const char* key = "Software\\MIT\\NetIDMgr\\PluginManager\\Plugins\\Krb5Cred\\Parameters";
    SetMsLsaListForAllUsers();
    EXPECT_TRUE(m.hiveEvents.empty());
    m.SetString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos\\Client\\CurrentVersion", "PathName",
                "C:\\Program Files\\MIT\\Kerberos", View::k64);
    SetMsLsaListForAllUsers();
    EXPECT_EQ(HiveDword("bob", key, "MsLsaList"), 1u);
    EXPECT_EQ(HiveDword("carol", key, "MsLsaList"), 1u);
    EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, key, "MsLsaList"), 1u);
}

TEST_F(WindowsSettingsTest, KdcNamesBlock) {
    WriteKdcNames();
    const winsim::RegValue* v = m.GetValue(
        HKEY_LOCAL_MACHINE, std::string("SYSTEM\\CurrentControlSet\\Control\\Lsa\\Kerberos\\Domains\\") + site::kDomain,
        "KdcNames");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(v->data.size(), site::kKdcNamesSize);
    std::vector<std::string> names;
    for (size_t at = 0; at < v->data.size() && v->data[at]; at += names.back().size() + 1)
        names.emplace_back(reinterpret_cast<const char*>(&v->data[at]));
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(v->data.back(), 0);
    EXPECT_EQ(v->data[v->data.size() - 2], 0);
}

TEST_F(WindowsSettingsTest, DefaultSiteKdcNamesTakeSeventyBytes) {
    // The default site's three names fill the block exactly.
    if (std::string(site::kDomain) != "halvern.edu") GTEST_SKIP() << "a site build with other names";
    EXPECT_EQ(site::kKdcNamesSize, 70u);
    EXPECT_EQ(std::string(site::kKdcNames, 70),
              std::string("kerberos-1.halvern.edu\0kerberos-2.halvern.edu\0kerberos-3.halvern.edu\0\0", 70));
}

TEST_F(WindowsSettingsTest, TcpipDomainReplacesEarlierValues) {
    m.SetDword(HKEY_LOCAL_MACHINE, kTcpip, "Domain", 5);
    m.SetString(HKEY_LOCAL_MACHINE, kTcpip, "SyncDomainWithMembership", "1");
    m.SetString(HKEY_LOCAL_MACHINE, kTcpip, "Other", "kept");
    SetTcpipDomain();
    for (const char* name : {"Domain", "NV Domain"}) {
        const winsim::RegValue* v = m.GetValue(HKEY_LOCAL_MACHINE, kTcpip, name);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(v->text(), site::kDomain);
    }
    EXPECT_EQ(m.GetDword(HKEY_LOCAL_MACHINE, kTcpip, "SyncDomainWithMembership"), 0u);
    EXPECT_EQ(m.GetString(HKEY_LOCAL_MACHINE, kTcpip, "Other"), "kept");
}

class BrowserCheckTest : public WindowsSettingsTest {
protected:
    void AddProcess(const std::string& exe, bool accessDenied = false) {
        m.processes.push_back({static_cast<DWORD>(100 + m.processes.size() * 4), "C:\\Apps\\" + exe, accessDenied});
    }
    bool IeConfigured() { return m.HasValue(HKEY_CURRENT_USER, kInternetSettings, "EnableNegotiate"); }
    bool KdcNamesWritten() {
        return m.FindKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Lsa\\Kerberos\\Domains") != nullptr;
    }
};

TEST_F(BrowserCheckTest, NoBrowserRunning) {
    ConfigureBrowsersAndLsa(false);
    EXPECT_TRUE(m.boxes.empty());
    EXPECT_TRUE(IeConfigured());
    EXPECT_TRUE(KdcNamesWritten());
}

TEST_F(BrowserCheckTest, RunningBrowsersAreWarnedAboutThenConfigured) {
    AddProcess("iexplore.exe");
    m.Answer("Kerberos for Windows Installer", IDOK);
    ConfigureBrowsersAndLsa(false);
    ASSERT_EQ(m.boxes.size(), 1u);
    EXPECT_EQ(m.boxes[0].text,
              "To complete the installation of Kerberos for Windows, please shut down Internet Explorer.");
    EXPECT_EQ(m.boxes[0].style, static_cast<UINT>(MB_OK | MB_ICONWARNING | MB_TOPMOST));
    EXPECT_TRUE(IeConfigured());

    AddProcess("firefox.exe");
    m.boxes.clear();
    m.Answer("Kerberos for Windows Installer", 0);
    m.Answer("Kerberos for Windows Installer", IDOK);
    ConfigureBrowsersAndLsa(false);
    ASSERT_EQ(m.boxes.size(), 2u);
    EXPECT_EQ(m.boxes[0].text, "To complete the installation of Kerberos for Windows, please shut down Firefox.");
}

TEST_F(BrowserCheckTest, ReallySilentLeavesRunningBrowsersAlone) {
    AddProcess("firefox.exe");
    AddProcess("iexplore.exe");
    m.SetString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos\\Client\\CurrentVersion", "PathName", "C:\\K");
    ConfigureBrowsersAndLsa(true);
    EXPECT_TRUE(m.boxes.empty());
    EXPECT_FALSE(IeConfigured());
    EXPECT_TRUE(KdcNamesWritten());
    EXPECT_EQ(HiveDword("bob", "Software\\MIT\\NetIdMgr\\PluginManager\\Plugins\\Krb5Cred\\Parameters", "MsLsaList"),
              1u);
}

}  // namespace
