#include "identity/identity_defaults.h"

#include "driver/run.h"
#include "identity/identity_fixture.h"
#include "site_constants.h"

#include <winnetwk.h>

#include <algorithm>
#include <optional>

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kMarkerKey[] = "Software\\Halvern\\KFW";
constexpr char kKerberos5[] = "Software\\MIT\\kerberos5";
constexpr char kKrb5Params[] = "Software\\MIT\\NetIDMgr\\PluginManager\\Plugins\\Krb5Cred\\Parameters";
constexpr char kAfsPlugin[] = "SOFTWARE\\MIT\\NetIDMgr\\PluginManager\\Plugins\\AfsCred";
constexpr char kAfsParams[] = "Software\\MIT\\NetIDMgr\\PluginManager\\Plugins\\AfsCred\\Parameters";

std::string Site(const std::string& name) { return name + "@" + site::kDomain; }

class IdentityDefaultsTest : public IdentityTest {
protected:
    // The principal the run configured, or nothing when it wrote nothing at all.
    std::optional<std::string> Configured() {
        bool anything = m.FindKey(HKEY_CURRENT_USER, "Software\\MIT") || m.FindKey(HKEY_CURRENT_USER, kMarkerKey) ||
                        m.HasValue(HKEY_LOCAL_MACHINE, kAfsPlugin, "disableafscreds");
        if (!anything) return std::nullopt;
        return m.GetString(HKEY_CURRENT_USER, kKerberos5, "ccname");
    }

    void ExpectString(HKEY root, const std::string& key, const std::string& name, const std::string& data) {
        const winsim::RegValue* v = m.GetValue(root, key, name);
        ASSERT_TRUE(v) << key << "\\" << name;
        EXPECT_EQ(v->type, static_cast<DWORD>(REG_SZ)) << key << "\\" << name;
        EXPECT_EQ(v->text(), data) << key << "\\" << name;
    }

    void ExpectAllWritten(const std::string& p) {
        const std::string identity = "Software\\MIT\\NetIDMgr\\KCDB\\Identity\\" + p;
        const std::string afs = identity + "\\AfsCred";
        const std::string cell = afs + "\\Cells\\" + site::kAfsCell;
        ExpectString(HKEY_CURRENT_USER, kKerberos5, "ccname", p);
        ExpectString(HKEY_CURRENT_USER, kKrb5Params, "LastDefaultIdent", p);
        EXPECT_EQ(m.GetDword(HKEY_LOCAL_MACHINE, kAfsPlugin, "disableafscreds"), 1u);
        EXPECT_FALSE(m.HasValue(HKEY_LOCAL_MACHINE, kAfsPlugin, "disableafscreds", View::k64));  // plain view
        EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kAfsParams, "AFSEnabled"), 0u);
        EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, identity, "Sticky"), 1u);
        ExpectString(HKEY_CURRENT_USER, afs, "Cells", site::kAfsCell);
        EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, afs, "AFSEnabled"), 1u);
        ExpectString(HKEY_CURRENT_USER, cell, "MethodName", "Auto");
        ExpectString(HKEY_CURRENT_USER, cell, "Realm", "");
        ExpectString(HKEY_CURRENT_USER, identity + "\\Krb5Cred", "DefaultCCName", "API:" + p);
        EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kMarkerKey, p), 1u);
        EXPECT_EQ(m.CallCount("RegSetValueExA"), 11);
    }
};

TEST_F(IdentityDefaultsTest, FirstRunWritesTheIdentity) {
    KlistReports("alice@HALVERN.EDU");
    ConfigureDefaultIdentity();
    ExpectAllWritten(Site("alice"));
    EXPECT_EQ(g_kclnt.calls, 0);  // klist answered, so the library is not asked
}

TEST_F(IdentityDefaultsTest, SecondRunWritesNothing) {
    KlistReports("alice@HALVERN.EDU");
    ConfigureDefaultIdentity();
    // Only the marker is left to stop the second run.
    m.SetString(HKEY_CURRENT_USER, kKerberos5, "ccname", "someone@else.edu");
    const int writes = m.CallCount("RegSetValueExA");
    ConfigureDefaultIdentity();
    EXPECT_EQ(m.CallCount("RegSetValueExA"), writes);
}

TEST_F(IdentityDefaultsTest, EarlierSettingsStopTheWrites) {
    struct Case {
        const char* what;
        std::function<void(Machine&)> arrange;
    } cases[] = {
        {"ccname names the principal (an interrupted earlier run)",
         [](Machine& m) { m.SetString(HKEY_CURRENT_USER, kKerberos5, "ccname", Site("alice")); }},
        {"ccname in other case",
         [](Machine& m) {
             m.SetString(HKEY_CURRENT_USER, kKerberos5, "ccname", "ALICE@" + winsim::UpperAscii(site::kDomain));
         }},
        {"marker in other case",
         [](Machine& m) { m.SetDword(HKEY_CURRENT_USER, kMarkerKey, winsim::UpperAscii(Site("alice")), 1); }},
        {"marker that merely contains the principal",
         [](Machine& m) { m.SetDword(HKEY_CURRENT_USER, kMarkerKey, "m" + Site("alice") + ".old", 1); }},
    };
    ForEachRow(cases, [&](const Case& c) {
        c.arrange(m);
        KlistReports("alice@HALVERN.EDU");
        ConfigureDefaultIdentity();
        EXPECT_EQ(m.CallCount("RegSetValueExA"), 0) << c.what;
        EXPECT_FALSE(m.HasValue(HKEY_LOCAL_MACHINE, kAfsPlugin, "disableafscreds")) << c.what;
    });
}

TEST_F(IdentityDefaultsTest, OtherValuesDoNotStopTheWrites) {
    // An empty ccname, one for another principal, and a marker for another principal.
    m.SetString(HKEY_CURRENT_USER, kKerberos5, "ccname", "");
    m.SetDword(HKEY_CURRENT_USER, kMarkerKey, Site("bob"), 1);
    KlistReports("alice@HALVERN.EDU");
    ConfigureDefaultIdentity();
    ExpectAllWritten(Site("alice"));
    m.RootKey(HKEY_CURRENT_USER).subkeys.clear();
    m.SetString(HKEY_CURRENT_USER, kKerberos5, "ccname", "alice@halvern.ed");
    m.calls.clear();
    ConfigureDefaultIdentity();
    EXPECT_EQ(m.GetString(HKEY_CURRENT_USER, kKerberos5, "ccname"), Site("alice"));
}

// Which principal the sources and the domain lead to.
TEST_F(IdentityDefaultsTest, SourcesAndDomains) {
    struct Case {
        const char* what;
        std::string user, domain;
        std::optional<std::string> klist;  // the principal klist.exe reports; nullopt: not installed
        std::optional<std::string> kclnt;  // what Kclnt32.dll answers; nullopt: absent
        std::optional<std::string> expected;
    } cases[] = {
        {"klist, same name", "alice", "KESTRUP-PC", "alice@HALVERN.EDU", std::nullopt, Site("alice")},
        {"klist differs only in case", "alice", "KESTRUP-PC", "Alice@HALVERN.EDU", std::nullopt, std::nullopt},
        {"klist another user", "alice", "KESTRUP-PC", "bob@HALVERN.EDU", std::nullopt, std::nullopt},
        {"klist first, then Kclnt", "alice", "KESTRUP-PC", "alice@X.ORG", std::string("bob"), Site("alice")},
        {"klist names nobody: Kclnt", "alice", "KESTRUP-PC", std::string(""), std::string("alice"), Site("alice")},
        {"no klist: Kclnt", "alice", "KESTRUP-PC", std::nullopt, std::string("alice"), Site("alice")},
        {"Kclnt realm replaced", "alice", "KESTRUP-PC", std::nullopt, std::string("alice@OTHER.ORG"), Site("alice")},
        {"no source outside WIN", "alice", "KESTRUP-PC", std::nullopt, std::nullopt, std::nullopt},
        {"Kclnt answers empty", "alice", "KESTRUP-PC", std::nullopt, std::string(""), std::nullopt},
        {"Windows name up to its @", "alice@corp", "KESTRUP-PC", "alice@HALVERN.EDU", std::nullopt, Site("alice")},
        // The "WIN" domain: the Kerberos name is taken as it is, else the Windows name.
        {"WIN: klist another user", "alice", "WIN", "bob@HALVERN.EDU", std::nullopt, Site("bob")},
        {"WIN: plausible user name", "alice", "WIN", std::nullopt, std::nullopt, Site("alice")},
        {"WIN: klist names nobody", "alice", "WIN", std::string(""), std::nullopt, Site("alice")},
        {"WIN: user name with a dot", "a.lice", "WIN", std::nullopt, std::nullopt, std::nullopt},
        {"WIN: user name too long", std::string(60, 'u'), "WIN", std::nullopt, std::nullopt, std::nullopt},
        {"WIN: Kclnt without realm", "alice", "WIN", std::nullopt, std::string("carol"), Site("carol")},
        {"WIN: Kclnt with realm", "alice", "WIN", std::nullopt, std::string("carol@X.ORG"), Site("carol")},
        {"WIN: Kclnt beginning with @", "alice", "WIN", std::nullopt, std::string("@carol"), Site("@carol")},
        // Only "WIN" exactly is that domain.
        {"win: klist another user", "alice", "win", "bob@HALVERN.EDU", std::nullopt, std::nullopt},
        {"win: no source", "alice", "win", std::nullopt, std::nullopt, std::nullopt},
        {"WIN2: no source", "alice", "WIN2", std::nullopt, std::nullopt, std::nullopt},
        {"win: klist same name", "alice", "win", "alice@HALVERN.EDU", std::nullopt, Site("alice")},
    };
    ForEachRow(cases, [&](const Case& c) {
        SetUser(c.user, c.domain);
        if (c.klist) {
            if (c.klist->empty())
                InstallKlist("klist: No credentials cache found\r\n");
            else
                KlistReports(*c.klist);
        }
        if (c.kclnt) InstallKclnt(*c.kclnt);
        ConfigureDefaultIdentity();
        EXPECT_EQ(Configured(), c.expected) << c.what;
        if (c.expected) EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kMarkerKey, *c.expected), 1u) << c.what;
    });
}

TEST_F(IdentityDefaultsTest, NoWindowsAccountNoSourceAsked) {
    m.logonUserError = ERROR_NO_NETWORK;
    KlistReports("alice@HALVERN.EDU");
    InstallKclnt("alice");
    ConfigureDefaultIdentity();
    EXPECT_EQ(Configured(), std::nullopt);
    EXPECT_TRUE(m.started.empty());
    EXPECT_EQ(g_kclnt.calls, 0);
}

TEST_F(IdentityDefaultsTest, AFailedWriteDoesNotStopTheOthers) {
    // Row 3 is the one machine-wide write; without the right to it the rest still goes.
    m.CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\MIT").denyWrite = true;
    KlistReports("alice@HALVERN.EDU");
    ConfigureDefaultIdentity();
    EXPECT_FALSE(m.HasValue(HKEY_LOCAL_MACHINE, kAfsPlugin, "disableafscreds"));
    EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kAfsParams, "AFSEnabled"), 0u);
    EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kMarkerKey, Site("alice")), 1u);
}

TEST_F(IdentityDefaultsTest, PrincipalTooLongForItsSettingsWritesNothing) {
    // 254 characters of principal fit; its cell key would not: nothing, rather than part.
    SetAccountDomain("WIN");
    InstallKclnt(std::string(200, 'k'));
    ConfigureDefaultIdentity();
    EXPECT_EQ(Configured(), std::nullopt);
}

// In the whole run: with nothing earlier to remove, the identity comes after the
// search and before the package.
TEST_F(IdentityDefaultsTest, RunConfiguresTheIdentityBeforeThePackage) {
    AddKerberosPackage();
    KlistReports("alice@HALVERN.EDU");
    bool identityBeforePackage = false;
    m.Packages().begin()->second.install = [this, install = m.Packages().begin()->second.install,
                                            &identityBeforePackage] {
        identityBeforePackage = m.HasValue(HKEY_CURRENT_USER, kMarkerKey, Site("alice"));
        install();
    };
    EXPECT_EQ(RunInstallation(nullptr, "/ReallySilent"), kExitCompleted);
    EXPECT_TRUE(identityBeforePackage);
    ExpectString(HKEY_CURRENT_USER, kKerberos5, "ccname", Site("alice"));
    ASSERT_FALSE(m.started.empty());
    EXPECT_EQ(m.started[0].program, kKlistPath);  // klist ran once, before anything else
    EXPECT_EQ(std::count_if(m.started.begin(), m.started.end(),
                            [](const winsim::ProcessStart& s) { return s.program == kKlistPath; }),
              1);
}

}  // namespace
