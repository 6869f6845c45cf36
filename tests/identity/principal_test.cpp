#include "identity/principal.h"

#include "identity/identity_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

class PrincipalTest : public IdentityTest {};

// ---- the Kerberos for Windows folder ---------------------------------------------

TEST_F(PrincipalTest, BinDirectoryFromPathName) {
    struct Case {
        const char* pathName;
        View view;
        const char* expected;
    } cases[] = {
        {"C:\\Program Files\\MIT\\Kerberos\\", View::k32, "C:\\Program Files\\MIT\\Kerberos\\bin"},
        {"C:\\Program Files\\MIT\\Kerberos", View::k32, "C:\\Program Files\\MIT\\Kerberos\\bin"},
        {"%ProgramFiles%\\MIT\\Kerberos", View::k32, "C:\\Program Files\\MIT\\Kerberos\\bin"},
        {"D:\\KfW\\", View::k64, "D:\\KfW\\bin"},
    };
    ForEachRow(cases, [&](const Case& c) {
        m.SetString(HKEY_LOCAL_MACHINE, kClientKey, "PathName", c.pathName, c.view);
        std::string bin = "stale";
        EXPECT_TRUE(GetKerberosBinDirectory(bin)) << c.pathName;
        EXPECT_EQ(bin, c.expected);
    });
}

TEST_F(PrincipalTest, NoBinDirectoryWithoutPathNameOrWhenTooLong) {
    std::string bin = "stale";
    EXPECT_FALSE(GetKerberosBinDirectory(bin));
    EXPECT_EQ(bin, "");
    // klist.exe's path would not fit MAX_PATH: refused rather than cut.
    m.SetString(HKEY_LOCAL_MACHINE, kClientKey, "PathName", "C:\\" + std::string(243, 'k'));
    EXPECT_FALSE(GetKerberosBinDirectory(bin));
    m.SetString(HKEY_LOCAL_MACHINE, kClientKey, "PathName", "C:\\" + std::string(242, 'k'));
    EXPECT_TRUE(GetKerberosBinDirectory(bin));
    EXPECT_EQ(bin.size() + std::strlen("\\klist.exe"), 259u);
}

// ---- klist.exe ------------------------------------------------------------------

TEST_F(PrincipalTest, KlistOutputParsing) {
    const std::string many = "Ticket cache: API:x\r\n" + std::string(100, 'x') + "\r\n";
    std::string mega;
    while (mega.size() < 1024 * 1024) mega += std::string(100, 't') + "\r\n";
    struct Case {
        const char* what;
        std::string output;
        std::string expected;
        std::string lastOutput = "";  // printed as klist.exe ends
    } cases[] = {
        {"a realm", "Ticket cache: API:x\r\nDefault principal: alice@HALVERN.EDU\r\n\r\n", "alice"},
        {"spaces around", "Default principal:    alice@HALVERN.EDU   \r\n", "alice"},
        {"no realm", "Default principal: alice\r\n", "alice"},
        {"no realm and trailing spaces", "Default principal: alice  \r\n", "alice"},
        {"label in any case, bare line feeds", "DEFAULT principal: Bob@X.ORG\n", "Bob"},
        {"first of two", "Default principal: one@A\r\nDefault principal: two@B\r\n", "one"},
        {"realm only", "Default principal: @HALVERN.EDU\r\n", ""},
        {"no principal line", "klist: No credentials cache found (ticket cache API:krb5cc)\r\n", ""},
        {"empty output", "", ""},
        // The last line carries no line end: no character of the name may go.
        {"last line without line end", "Ticket cache: API:x\r\nDefault principal: alice", "alice"},
        {"last line with realm, no line end", "Default principal: alice@HALVERN.EDU", "alice"},
        // Longer than any line buffer: the name is kept whole, not cut or split.
        {"very long line", "Default principal: " + std::string(3000, 'n') + "@HALVERN.EDU\r\n", std::string(3000, 'n')},
        {"label after a long run", std::string(2040, ' ') + "Default principal: carol@X\r\n", "carol"},
        // More than a pipe holds: read while klist.exe still writes. 1 MB is more
        // than is kept; a principal within the first 64 KB still counts.
        {"more than a pipe holds", many + many + many + std::string(20000, 'x') + "\r\nDefault principal: dave@X\r\n",
         "dave"},
        {"1 MB, principal first", "Default principal: erin@X\r\n" + mega, "erin"},
        {"1 MB, principal beyond what is kept", mega + "Default principal: frank@X\r\n", ""},
        // A line cut at the limit is dropped whole, never read as a shorter name.
        {"name cut at the limit", std::string(65536 - 24, ' ') + "\nDefault principal: gr" + "aceful@X\r\n", ""},
        {"principal printed as it ends", "Ticket cache: API:x\r\n", "heidi", "Default principal: heidi@X\r\n"},
    };
    ForEachRow(cases, [&](const Case& c) {
        winsim::Program klist;
        klist.lastOutput = c.lastOutput;
        InstallKlist(c.output, klist);
        std::string name = "stale";
        EXPECT_TRUE(GetKlistPrincipalName(name)) << c.what;
        EXPECT_EQ(name, c.expected) << c.what;
        ASSERT_EQ(m.started.size(), 1u) << c.what;
        EXPECT_EQ(m.started[0].program, kKlistPath);
        EXPECT_TRUE(m.ListDirectory(m.tempDirectory).empty()) << c.what;  // no file made or left anywhere
    });
}

TEST_F(PrincipalTest, KlistRunsHiddenWithItsOutputOnAPipe) {
    m.AddProgram(m.systemDirectory + "\\cmd.exe");
    m.AddProgram(std::string(kProgramDir) + "klist.exe");  // planted: never run
    InstallKlist("Default principal: alice@HALVERN.EDU\r\n");
    std::string name;
    ASSERT_TRUE(GetKlistPrincipalName(name));
    EXPECT_EQ(name, "alice");
    ASSERT_EQ(m.started.size(), 1u);
    const winsim::ProcessStart& s = m.started[0];
    EXPECT_EQ(s.application, kKlistPath);
    EXPECT_EQ(s.commandLine, std::string("\"") + kKlistPath + "\" -C");
    EXPECT_TRUE(s.outputCaptured);
    EXPECT_EQ(s.startupFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES));
    EXPECT_EQ(s.showWindow, SW_HIDE);
    EXPECT_EQ(s.creationFlags, static_cast<DWORD>(CREATE_NO_WINDOW));
    EXPECT_TRUE(m.batchCommands.empty());
}

TEST_F(PrincipalTest, KlistThatFailsOrHangsGivesNoPrincipal) {
    struct Case {
        const char* what;
        winsim::Program program;
        bool installed;
        int terminated;
    } cases[] = {
        {"not installed", {}, false, 0},
        {"cannot start", {0, ERROR_ACCESS_DENIED}, true, 0},
        {"never ends", {0, 0, nullptr, "Default principal: alice@HALVERN.EDU\r\n", true}, true, 1},
    };
    ForEachRow(cases, [&](const Case& c) {
        if (c.installed) InstallKlist(c.program.output, c.program);
        const DWORD before = m.tickCount;
        std::string name = "stale";
        EXPECT_FALSE(GetKlistPrincipalName(name)) << c.what;
        EXPECT_EQ(name, "") << c.what;
        EXPECT_EQ(m.terminatedProcesses, c.terminated) << c.what;
        if (c.terminated) EXPECT_LE(m.tickCount - before, 31000u) << c.what;  // ended after about 30 s
        EXPECT_TRUE(m.ListDirectory(m.tempDirectory).empty()) << c.what;
    });
}

TEST_F(PrincipalTest, FilesPlantedInTheTemporaryFolderAreLeftAlone) {
    // The batch-file way once read and ran these names; nothing reads them now.
    m.AddFile(BatchPath(), "@echo off\r\nformat c:\r\n", FILE_ATTRIBUTE_READONLY);
    m.AddLink(OutputPath(), "C:\\WINDOWS\\win.ini");
    m.AddFile("C:\\WINDOWS\\win.ini", "Default principal: mallory\r\n");
    InstallKlist("Default principal: alice@HALVERN.EDU\r\n");
    std::string name;
    EXPECT_TRUE(GetKlistPrincipalName(name));
    EXPECT_EQ(name, "alice");
    EXPECT_EQ(m.FindFile(BatchPath())->data, "@echo off\r\nformat c:\r\n");
    EXPECT_EQ(m.FindFile("C:\\WINDOWS\\win.ini")->data, "Default principal: mallory\r\n");
    ASSERT_EQ(m.started.size(), 1u);
}

// ---- Kclnt32.dll ----------------------------------------------------------------

TEST_F(PrincipalTest, KclntUserNameFromTheLibrary) {
    const std::string folders[] = {m.systemDirectory, "C:\\Program Files\\MIT\\Kerberos\\bin"};
    ForEachRow(folders, [&](const std::string& folder) {
        m.SetString(HKEY_LOCAL_MACHINE, kClientKey, "PathName", "C:\\Program Files\\MIT\\Kerberos\\");
        InstallKclnt("alice", folder);
        std::string name;
        EXPECT_TRUE(GetKclntUserName(name)) << folder;
        EXPECT_EQ(name, "alice");
        ASSERT_EQ(m.libraryLoads.size(), 1u);
        EXPECT_EQ(m.libraryLoads[0], folder + (folder.back() == '\\' ? "" : "\\") + "Kclnt32.dll");
        EXPECT_EQ(m.CallCount("FreeLibrary"), 1);
    });
}

TEST_F(PrincipalTest, KclntFailures) {
    struct Case {
        const char* what;
        std::function<void(IdentityTest&, Machine&)> arrange;
    } cases[] = {
        {"no library", [](IdentityTest&, Machine&) {}},
        {"no such export",
         [](IdentityTest&, Machine& m) {
             m.AddLibrary(m.systemDirectory + "\\Kclnt32.dll",
                          {{"KCGetUserNameEx", reinterpret_cast<FARPROC>(&FakeKCGetUserName)}});
         }},
        {"library refuses to load",
         [](IdentityTest&, Machine& m) {
             m.AddLibrary(m.systemDirectory + "\\Kclnt32.dll",
                          {{"KCGetUserName", reinterpret_cast<FARPROC>(&FakeKCGetUserName)}}, ERROR_DLL_INIT_FAILED);
         }},
        {"function answers failure",
         [](IdentityTest& t, Machine&) {
             g_kclnt.name = "alice";
             g_kclnt.result = 0;
             t.InstallKclnt("alice");
             g_kclnt.result = 0;
         }},
        {"name fills the buffer without a terminator",
         [](IdentityTest& t, Machine&) {
             t.InstallKclnt("");
             g_kclnt.unterminated = true;
         }},
        {"only in PATH folders on a removable and a network drive",
         [](IdentityTest& t, Machine& m) {
             m.drives['E'] = {DRIVE_REMOVABLE, ""};
             m.drives['H'] = {DRIVE_REMOTE, "\\\\labhost\\home"};
             m.SetEnv("PATH", "E:\\Kerberos;H:\\Kerberos");
             t.InstallKclnt("alice", "E:\\Kerberos");
             t.InstallKclnt("alice", "H:\\Kerberos");
         }},
    };
    for (const Case& c : cases) {
        g_kclnt = KclntAnswer{};
        m.libraries.erase(m.systemDirectory + "\\Kclnt32.dll");
        m.RemoveFile(m.systemDirectory + "\\Kclnt32.dll");
        c.arrange(*this, m);
        std::string name = "stale";
        EXPECT_FALSE(GetKclntUserName(name)) << c.what;
        EXPECT_EQ(name, "") << c.what;
        EXPECT_EQ(m.OpenHandles(), 0) << c.what;
    }
}

// ---- plausibility ---------------------------------------------------------------

TEST(PlausiblePrincipalTest, Rules) {
    struct Case {
        std::string text;
        bool plausible;
    } cases[] = {
        {"a@b.edu", true},                               // 7 characters, the shortest
        {"@b.edu", false},                               // 6, and begins with "@"
        {"@bcdef.edu", false},                           // begins with "@"
        {std::string(52, 'a') + "@halvern.edu", true},   // 64
        {std::string(53, 'a') + "@halvern.edu", false},  // 65
        {"a@b.EDU", false},
        {"a@b.com", true},
        {"a@b.org", true},
        {"a@b.gov", true},
        {"a@b.mil", true},
        {"a@b.net", true},
        {"alice@b.xyz", false},
        {"alice@b.educ", true},  // the ending may be anywhere
        {"alice", false},
        {"alice.edu", false},  // no "@"
        {"al@ce@b.edu", false},
        {"pelnetid@b.edu", false},
        {"xpelnetidx@b.edu", false},
        {"alice@pelnetid.edu", false},
        {"PELNETID@b.edu", true},  // compared with case
        {"al ice@b.edu", false},
        {"alice@b.edu ", false},
        {"a.lice@b.edu", false},
        {"a-lice@b.edu", false},
        {"a_lice@b.edu", false},
        {"alice@b-c_d.edu", true},  // only the name part is restricted
    };
    for (const Case& c : cases) EXPECT_EQ(IsPlausiblePrincipal(c.text), c.plausible) << '"' << c.text << '"';
}

}  // namespace
