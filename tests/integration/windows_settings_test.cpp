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
constexpr char kPolicy[] = "Software\\Policies\\Mozilla\\Firefox\\Authentication";

class WindowsSettingsTest : public MachineTest {
protected:
    explicit WindowsSettingsTest(Arch arch = Arch::x64) : MachineTest(arch) {
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

// Firefox's policy, written by the integration sequence twice (a second run
// changes nothing). Values in "name=text" form: "Locked=n" is the DWORD of the
// Authentication key, the others the SPNEGO values in enumeration order (the
// order Firefox reads); {site} is the site domain, {SITE} it in capitals.
// winsim redirects all of HKLM\Software for the 32-bit view, as Wine does;
// Windows shares Software\Policies, where the 64-bit write meets the result of
// the first, as the second run does here.
struct PolicyRow {
    const char* what;
    Arch arch;
    std::vector<std::string> before32, before64, after32, after64;
    bool laterUsers = true;
};

const PolicyRow kPolicyRows[] = {
    {"no key before, Firefox running", Arch::x64, {}, {}, {"Locked=0", "1={site}"}, {"Locked=0", "1={site}"}},
    {"entries of the 64-bit view kept after the site domain",
     Arch::x64,
     {},
     {"1=intranet.example", "2=wiki.example"},
     {"Locked=0", "1={site}"},
     {"Locked=0", "1={site}", "2=intranet.example", "3=wiki.example"}},
    {"site domain twice in another case; the site's Locked=1 stays",
     Arch::x64,
     {"Locked=1", "1=a.example", "2={SITE}", "3=b.example", "4={site}"},
     {},
     {"Locked=1", "1={site}", "2=a.example", "3=b.example"},
     {"Locked=0", "1={site}"}},
    {"numbered out of order with a gap, a value of another name left alone",
     Arch::x64,
     {},
     {"3=c.example", "Note=n", "1=a.example"},
     {"Locked=0", "1={site}"},
     {"Locked=0", "Note=n", "1={site}", "2=a.example", "3=c.example"}},
    {"site setting off", Arch::x64, {}, {"1=a.example"}, {}, {"1=a.example"}, false},
    {"32-bit Windows: one view", Arch::x86, {"1=a.example"}, {}, {"Locked=0", "1={site}", "2=a.example"}, {}},
};

class FirefoxPolicyTest : public WindowsSettingsTest {
protected:
    explicit FirefoxPolicyTest(Arch arch = Arch::x64) : WindowsSettingsTest(arch), arch_(arch) {}
    void Plant(const std::vector<std::string>& values, View view) {
        for (const std::string& value : values) {
            const size_t equals = value.find('=');
            const std::string name = value.substr(0, equals), token = value.substr(equals + 1);
            const std::string text = token == "{site}"   ? site::kDomain
                                     : token == "{SITE}" ? winsim::UpperAscii(site::kDomain)
                                                         : token;
            if (name == "Locked")
                m.SetDword(HKEY_LOCAL_MACHINE, kPolicy, name, std::stoul(text), view);
            else
                m.SetString(HKEY_LOCAL_MACHINE, std::string(kPolicy) + "\\SPNEGO", name, text, view);
        }
    }
    std::vector<std::string> Policy(View view) {
        std::vector<std::string> values;
        if (const winsim::RegValue* locked = m.GetValue(HKEY_LOCAL_MACHINE, kPolicy, "Locked", view))
            values.push_back("Locked=" + std::to_string(locked->dword()));
        if (winsim::RegKey* spnego = m.FindKey(HKEY_LOCAL_MACHINE, std::string(kPolicy) + "\\SPNEGO", view))
            for (const winsim::RegValue& v : spnego->values) {
                EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ)) << v.name;
                values.push_back(v.name + "=" + (v.text() == site::kDomain ? "{site}" : v.text()));
            }
        return values;
    }
    void CheckRows() {
        std::vector<PolicyRow> rows;
        for (const PolicyRow& row : kPolicyRows)
            if (row.arch == arch_) rows.push_back(row);
        ForEachRow(rows, [this](const PolicyRow& row) {
            SCOPED_TRACE(row.what);
            Plant(row.before32, View::k32);
            Plant(row.before64, View::k64);
            m.processes.push_back({100, "C:\\Program Files\\Mozilla Firefox\\firefox.exe", false});
            for (int run = 0; run < 2; ++run) ConfigureBrowsersAndLsa(true, row.laterUsers);
            EXPECT_EQ(Policy(View::k32), row.after32);
            if (arch_ == Arch::x64) EXPECT_EQ(Policy(View::k64), row.after64);
        });
    }

private:
    Arch arch_;
};

class FirefoxPolicyOn32BitWindowsTest : public FirefoxPolicyTest {
protected:
    FirefoxPolicyOn32BitWindowsTest() : FirefoxPolicyTest(Arch::x86) {}
};

TEST_F(FirefoxPolicyTest, SiteDomainFirstInEveryViewFirefoxReads) { CheckRows(); }
TEST_F(FirefoxPolicyOn32BitWindowsTest, SiteDomainFirstInTheOneView) { CheckRows(); }

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
    ConfigureBrowsersAndLsa(false, true);
    EXPECT_TRUE(m.boxes.empty());
    EXPECT_TRUE(IeConfigured());
    EXPECT_TRUE(KdcNamesWritten());
}

TEST_F(BrowserCheckTest, RunningBrowsersAreWarnedAboutThenConfigured) {
    AddProcess("iexplore.exe");
    m.Answer("Kerberos for Windows Installer", IDOK);
    ConfigureBrowsersAndLsa(false, true);
    ASSERT_EQ(m.boxes.size(), 1u);
    EXPECT_EQ(m.boxes[0].text,
              "To complete the installation of Kerberos for Windows, please shut down Internet Explorer.");
    EXPECT_EQ(m.boxes[0].style, static_cast<UINT>(MB_OK | MB_ICONWARNING | MB_TOPMOST));
    EXPECT_TRUE(IeConfigured());

    AddProcess("firefox.exe");
    m.boxes.clear();
    m.Answer("Kerberos for Windows Installer", 0);
    m.Answer("Kerberos for Windows Installer", IDOK);
    ConfigureBrowsersAndLsa(false, true);
    ASSERT_EQ(m.boxes.size(), 2u);
    EXPECT_EQ(m.boxes[0].text, "To complete the installation of Kerberos for Windows, please shut down Firefox.");
}

TEST_F(BrowserCheckTest, ReallySilentLeavesRunningBrowsersAlone) {
    AddProcess("firefox.exe");
    AddProcess("iexplore.exe");
    m.SetString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos\\Client\\CurrentVersion", "PathName", "C:\\K");
    ConfigureBrowsersAndLsa(true, true);
    EXPECT_TRUE(m.boxes.empty());
    EXPECT_FALSE(IeConfigured());
    EXPECT_TRUE(KdcNamesWritten());
    EXPECT_EQ(HiveDword("bob", "Software\\MIT\\NetIdMgr\\PluginManager\\Plugins\\Krb5Cred\\Parameters", "MsLsaList"),
              1u);
}

}  // namespace
