#include "identity/principal.h"

#include "identity/identity_fixture.h"

#include <winnetwk.h>

using namespace kestrup;
using namespace kestrup_test;

namespace {

class PrincipalTest : public IdentityTest {};

// ---- the Windows account --------------------------------------------------------

TEST_F(PrincipalTest, UserAndDomainOfTheLoggedOnAccount) {
    SetUser("Alice", "KESTRUP-PC");
    std::string user, domain;
    EXPECT_TRUE(GetUserAndDomain(user, domain));
    EXPECT_EQ(user, "Alice");
    EXPECT_EQ(domain, "KESTRUP-PC");
    EXPECT_EQ(m.CallCount("LookupAccountNameA"), 2);  // sizes first, then the answer
}

TEST_F(PrincipalTest, UserAndDomainFailuresLeaveBothEmpty) {
    struct Case {
        const char* what;
        std::function<void(Machine&)> arrange;
    } cases[] = {
        {"no network user", [](Machine& m) { m.logonUserError = ERROR_NO_NETWORK; }},
        {"user name longer than its buffer", [](Machine& m) {
             m.logonUser = std::string(255, 'u');
             m.accounts[m.logonUser] = winsim::Account{"KESTRUP-PC"};
         }},
        {"account unknown", [](Machine& m) { m.logonUser = "ghost"; }},
        // Sizes beyond the fixed buffers must be refused, not written past them.
        {"domain longer than its buffer", [](Machine& m) { m.accounts.at("alice").domain = std::string(300, 'D'); }},
        {"domain of 255 characters", [](Machine& m) { m.accounts.at("alice").domain = std::string(255, 'D'); }},
    };
    for (const Case& c : cases) {
        winsim::Account saved = m.accounts.at("alice");
        c.arrange(m);
        std::string user = "stale", domain = "stale";
        EXPECT_FALSE(GetUserAndDomain(user, domain)) << c.what;
        EXPECT_EQ(user, "") << c.what;
        EXPECT_EQ(domain, "") << c.what;
        m.logonUser = "alice";
        m.logonUserError = 0;
        m.accounts["alice"] = saved;
    }
}

TEST_F(PrincipalTest, DomainOf254CharactersStillFits) {
    SetAccountDomain(std::string(254, 'D'));
    std::string user, domain;
    EXPECT_TRUE(GetUserAndDomain(user, domain));
    EXPECT_EQ(domain, std::string(254, 'D'));
}

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
    for (const Case& c : cases) {
        m.RootKey(HKEY_LOCAL_MACHINE).subkeys.clear();
        m.SetString(HKEY_LOCAL_MACHINE, kClientKey, "PathName", c.pathName, c.view);
        std::string bin = "stale";
        EXPECT_TRUE(GetKerberosBinDirectory(bin)) << c.pathName;
        EXPECT_EQ(bin, c.expected);
    }
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

// ---- hidden start ---------------------------------------------------------------

TEST_F(PrincipalTest, RunHiddenAndWaitStartsHiddenWithoutAWindow) {
    m.AddProgram("C:\\tools\\x.exe", winsim::Program{7});
    EXPECT_TRUE(RunHiddenAndWait("\"C:\\tools\\x.exe\" -a"));
    ASSERT_EQ(m.started.size(), 1u);
    const winsim::ProcessStart& s = m.started[0];
    EXPECT_EQ(s.application, "");
    EXPECT_EQ(s.commandLine, "\"C:\\tools\\x.exe\" -a");
    EXPECT_EQ(s.startupFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(s.showWindow, SW_HIDE);
    EXPECT_EQ(s.creationFlags, static_cast<DWORD>(CREATE_NO_WINDOW));
    EXPECT_FALSE(s.inheritHandles);
    EXPECT_TRUE(s.environmentInherited);
    EXPECT_EQ(m.CallCount("WaitForSingleObject"), 1);

    EXPECT_FALSE(RunHiddenAndWait("C:\\tools\\missing.exe"));
    m.AddProgram("C:\\tools\\denied.exe", winsim::Program{0, ERROR_ACCESS_DENIED});
    EXPECT_FALSE(RunHiddenAndWait("C:\\tools\\denied.exe"));
}

// ---- klist.exe ------------------------------------------------------------------

TEST_F(PrincipalTest, KlistOutputParsing) {
    struct Case {
        const char* what;
        std::string output;
        std::string expected;
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
        {"very long line", "Default principal: " + std::string(3000, 'n') + "@HALVERN.EDU\r\n",
         std::string(3000, 'n')},
        {"label after a long run", std::string(2040, ' ') + "Default principal: carol@X\r\n", "carol"},
    };
    for (const Case& c : cases) {
        m.started.clear();
        m.batchCommands.clear();
        InstallKlist(c.output);
        std::string name = "stale";
        EXPECT_TRUE(GetKlistPrincipalName(name)) << c.what;
        EXPECT_EQ(name, c.expected) << c.what;
        ASSERT_EQ(m.batchCommands.size(), 1u) << c.what;
        EXPECT_EQ(m.batchCommands[0].program, kKlistPath);
        EXPECT_FALSE(m.FindFile(BatchPath())) << c.what;
        EXPECT_FALSE(m.FindFile(OutputPath())) << c.what;
    }
}

TEST_F(PrincipalTest, KlistRunsThroughAHiddenBatchFile) {
    std::string batchSeen;
    winsim::Program klist;
    klist.run = [&](const winsim::ProcessStart&) { batchSeen = m.FindFile(BatchPath())->data; };
    InstallKlist("Default principal: alice@HALVERN.EDU\r\n", klist);
    std::string name;
    ASSERT_TRUE(GetKlistPrincipalName(name));
    EXPECT_EQ(name, "alice");
    EXPECT_EQ(batchSeen, "@echo off\r\n\"C:\\Program Files\\MIT\\Kerberos\\bin\\klist.exe\" -C > \"" + OutputPath() +
                             "\"\r\n");
    ASSERT_EQ(m.started.size(), 1u);
    EXPECT_EQ(m.started[0].commandLine, "\"" + BatchPath() + "\"");
    EXPECT_EQ(m.started[0].showWindow, SW_HIDE);
    EXPECT_EQ(m.started[0].creationFlags, static_cast<DWORD>(CREATE_NO_WINDOW));
    EXPECT_EQ(m.batchCommands[0].commandLine, "\"C:\\Program Files\\MIT\\Kerberos\\bin\\klist.exe\" -C");
}

TEST_F(PrincipalTest, TemporaryFolderWithBlanks) {
    // Neither a program at a blank-cut prefix runs nor does the output go astray.
    m.tempDirectory = "C:\\Documents and Settings\\alice\\Local Settings\\Temp";  // no trailing backslash
    m.AddDirectory(m.tempDirectory);
    m.AddProgram("C:\\Documents.exe");
    InstallKlist("Default principal: alice@HALVERN.EDU\r\n");
    std::string name;
    EXPECT_TRUE(GetKlistPrincipalName(name));
    EXPECT_EQ(name, "alice");
    ASSERT_EQ(m.started.size(), 1u);
    EXPECT_EQ(m.started[0].program, m.tempDirectory + "\\~klist.bat");
    EXPECT_FALSE(m.FindFile("C:\\Documents"));
}

TEST_F(PrincipalTest, KlistNotInstalled) {
    std::string name = "stale";
    EXPECT_FALSE(GetKlistPrincipalName(name));
    EXPECT_EQ(name, "");
    EXPECT_TRUE(m.started.empty());
    EXPECT_FALSE(m.FindFile(BatchPath()));
}

TEST_F(PrincipalTest, FailedStartLeavesBothFiles) {
    InstallKlist("Default principal: alice@HALVERN.EDU\r\n");
    // The batch file itself cannot be started (a policy refuses it, say).
    m.AddProgram(BatchPath(), winsim::Program{0, ERROR_ACCESS_DENIED});
    m.RemoveFile(BatchPath());
    std::string name = "stale";
    EXPECT_FALSE(GetKlistPrincipalName(name));
    EXPECT_EQ(name, "");
    EXPECT_TRUE(m.FileExistsAt(BatchPath()));
    EXPECT_TRUE(m.FileExistsAt(OutputPath()));
    EXPECT_TRUE(m.batchCommands.empty());
}

TEST_F(PrincipalTest, PlantedTemporaryFiles) {
    // The temporary folder is writable by the user's unelevated programs.
    const std::string winIni = "C:\\WINDOWS\\win.ini", evil = "C:\\WINDOWS\\evil.bat";
    enum Plant { kPlainFile, kLink, kFolder };
    struct Case {
        const char* what;
        bool atBatch;  // else at the output file
        Plant plant;
        bool klistRuns;
    } cases[] = {
        {"leftover read-only batch file", true, kPlainFile, true},
        {"leftover output naming another principal", false, kPlainFile, true},
        {"link at the batch file", true, kLink, false},
        {"link at the output file", false, kLink, false},
        {"folder at the batch file", true, kFolder, false},
        {"folder at the output file", false, kFolder, false},
    };
    for (const Case& c : cases) {
        const std::string planted = c.atBatch ? BatchPath() : OutputPath();
        const std::string ours = c.atBatch ? OutputPath() : BatchPath();
        m.RemoveFile(BatchPath());
        m.RemoveFile(OutputPath());
        m.AddFile(winIni, "[windows]\r\n");
        m.batchCommands.clear();
        InstallKlist("Default principal: alice@HALVERN.EDU\r\n");
        switch (c.plant) {
        case kPlainFile:
            m.AddFile(planted, c.atBatch ? "@echo off\r\nformat c:\r\n" : "Default principal: mallory\r\n",
                      FILE_ATTRIBUTE_READONLY);
            break;
        case kLink:
            m.AddLink(planted, c.atBatch ? evil : winIni);
            break;
        case kFolder:
            m.AddDirectory(planted);
            break;
        }
        std::string name = "stale";
        EXPECT_EQ(GetKlistPrincipalName(name), c.klistRuns) << c.what;
        EXPECT_EQ(name, c.klistRuns ? "alice" : "") << c.what;
        EXPECT_EQ(m.batchCommands.size(), c.klistRuns ? 1u : 0u) << c.what;
        // Nothing was written through a link.
        EXPECT_EQ(m.FindFile(winIni)->data, "[windows]\r\n") << c.what;
        EXPECT_FALSE(m.FindFile(evil)) << c.what;
        EXPECT_FALSE(m.FindFile(ours)) << c.what;
        if (c.klistRuns) {
            EXPECT_FALSE(m.FindFile(planted)) << c.what;
        } else {
            // What was planted is left alone.
            winsim::FileEntry* e = m.FindFile(planted);
            ASSERT_TRUE(e) << c.what;
            EXPECT_EQ(e->directory, c.plant == kFolder) << c.what;
            EXPECT_EQ(e->linkTarget.empty(), c.plant != kLink) << c.what;
        }
    }
}

TEST_F(PrincipalTest, OthersCannotTouchTheFilesWhileKlistRuns) {
    bool batchDeleted = true, batchOpenedForWriting = true, outputDeleted = true;
    winsim::Program klist;
    klist.run = [&](const winsim::ProcessStart&) {
        batchDeleted = DeleteFileA(BatchPath().c_str()) != FALSE;
        HANDLE h = CreateFileA(BatchPath().c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        batchOpenedForWriting = h != INVALID_HANDLE_VALUE;
        if (batchOpenedForWriting) CloseHandle(h);
        outputDeleted = DeleteFileA(OutputPath().c_str()) != FALSE;
    };
    InstallKlist("Default principal: alice@HALVERN.EDU\r\n", klist);
    std::string name;
    EXPECT_TRUE(GetKlistPrincipalName(name));
    EXPECT_EQ(name, "alice");
    EXPECT_FALSE(batchDeleted);
    EXPECT_FALSE(batchOpenedForWriting);
    EXPECT_FALSE(outputDeleted);
}

TEST_F(PrincipalTest, BatchFileChangedBeforeItIsHeldIsNotRun) {
    // Windows will not start a batch file open for writing, so the written file is
    // closed and opened again for reading; another program may act in between.
    const std::string evil = "C:\\WINDOWS\\evil.bat";
    struct Case {
        const char* what;
        std::function<void(Machine&, const std::string&)> tamper;
    } cases[] = {
        {"rewritten", [](Machine& m, const std::string& p) { m.FindFile(p)->data = "@echo off\r\nevil.exe\r\n"; }},
        {"extended", [](Machine& m, const std::string& p) { m.FindFile(p)->data += "evil.exe\r\n"; }},
        {"replaced by a link to a copy",
         [&](Machine& m, const std::string& p) {
             m.AddFile(evil, m.FindFile(p)->data);
             m.RemoveFile(p);
             m.AddLink(p, evil);
         }},
    };
    for (const Case& c : cases) {
        m.started.clear();
        m.RemoveFile(evil);
        InstallKlist("Default principal: alice@HALVERN.EDU\r\n");
        bool tampered = false;
        m.onFileClosed = [&](const std::string& path) {
            if (tampered || path != BatchPath()) return;
            tampered = true;
            c.tamper(m, path);
        };
        std::string name = "stale";
        EXPECT_FALSE(GetKlistPrincipalName(name)) << c.what;
        m.onFileClosed = nullptr;
        EXPECT_TRUE(tampered) << c.what;
        EXPECT_EQ(name, "") << c.what;
        EXPECT_TRUE(m.started.empty()) << c.what;
        EXPECT_FALSE(m.FindFile(OutputPath())) << c.what;
        EXPECT_FALSE(m.FindFile(BatchPath())) << c.what;
    }
}

TEST_F(PrincipalTest, BatchFileThatCannotBeWritten) {
    InstallKlist("Default principal: alice@HALVERN.EDU\r\n");
    m.diskSpace = 0;
    std::string name = "stale";
    EXPECT_FALSE(GetKlistPrincipalName(name));
    EXPECT_EQ(name, "");
    EXPECT_TRUE(m.started.empty());  // a batch file not wholly ours is never run
    EXPECT_FALSE(m.FindFile(BatchPath()));
    EXPECT_FALSE(m.FindFile(OutputPath()));
}

// ---- Kclnt32.dll ----------------------------------------------------------------

TEST_F(PrincipalTest, KclntUserNameFromTheLibrary) {
    m.SetEnv("PATH", "C:\\Program Files\\Kerberos Client;" + m.systemDirectory);
    for (const std::string folder : {m.systemDirectory, std::string("C:\\Program Files\\Kerberos Client")}) {
        m.libraryLoads.clear();
        InstallKclnt("alice", folder);
        std::string name;
        EXPECT_TRUE(GetKclntUserName(name)) << folder;
        EXPECT_EQ(name, "alice");
        ASSERT_EQ(m.libraryLoads.size(), 1u);
        EXPECT_EQ(m.libraryLoads[0], folder + (folder.back() == '\\' ? "" : "\\") + "Kclnt32.dll");
        m.RemoveFile(m.libraryLoads[0]);
    }
    EXPECT_EQ(m.CallCount("FreeLibrary"), 2);
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
    };
    for (const Case& c : cases) {
        g_kclnt = KclntAnswer{};
        m.libraries.clear();
        m.RemoveFile(std::string(kProgramDir) + "Kclnt32.dll");
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
        {"a@b.edu", true},                              // 7 characters, the shortest
        {"@b.edu", false},                              // 6, and begins with "@"
        {"@bcdef.edu", false},                          // begins with "@"
        {std::string(52, 'a') + "@halvern.edu", true},  // 64
        {std::string(53, 'a') + "@halvern.edu", false}, // 65
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
