#include "driver/run.h"

#include "driver/prerequisites.h"

#include "site_constants.h"
#include "support/machine_fixture.h"

#include <cctype>
#include <functional>

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr UINT kQuestion = MB_YESNO | MB_ICONQUESTION | MB_TOPMOST;
constexpr UINT kError = MB_OK | MB_ICONERROR | MB_TOPMOST;
constexpr char kCredWindow[] = "Software\\MIT\\NetIDMgr\\CredWindow";
constexpr char kKrb5Params[] = "Software\\MIT\\NetIDMgr\\PluginManager\\Plugins\\Krb5Cred\\Parameters";
constexpr char kConfirm[] = "Install Kerberos for Windows?";
constexpr char kRestart[] = "Restart Computer?";
constexpr char kLogOff[] = "Log off?";

class RunTest : public MachineTest {
protected:
    // A machine that needs neither an engine update nor the hotfix, unless a test says so.
    void Furnish() override {
        m.AddFile("C:\\WINDOWS\\system32\\msiexec.exe");
        m.FindFile("C:\\WINDOWS\\system32\\msiexec.exe")->fileVersions = {{"040904B0", "3.1.4000.1823"}};
        m.CreateKey(HKEY_LOCAL_MACHINE, kHotfixMarkerKey);
    }

    int Run(const std::string& commandLine) { return RunInstallation(nullptr, commandLine); }

    void UseVista() { m.SetVersion(VER_PLATFORM_WIN32_NT, 6, 0, 6002, 2); }

    bool NotificationActionWritten() { return m.HasValue(HKEY_CURRENT_USER, kCredWindow, "NotificationAction"); }
};

TEST(SwitchesTest, FoundAnywhereInAnyCase) {
    struct Case {
        const char* line;
        bool silent, reallySilent, noHotFix;
    } cases[] = {
        {"", false, false, false},
        {"/reallysilent", true, true, false},
        {"/SILENT", true, false, false},
        {"x/Silentlyy /nohotfixes", true, false, true},  // inside longer words still counts
        {"/NoHotFix /Silent", true, false, true},
        {"/Quiet /ReallySilent", true, true, false},  // unknown switches are ignored
        {"-Silent", false, false, false},
    };
    winsim::Machine m;  // folding goes through the system's code page
    for (const Case& c : cases) {
        RunFlags f = ParseSwitches(c.line);
        EXPECT_EQ(f.silent, c.silent) << c.line;
        EXPECT_EQ(f.reallySilent, c.reallySilent) << c.line;
        EXPECT_EQ(f.noHotFix, c.noHotFix) << c.line;
    }
    std::string huge(100000, 'x');
    huge += "/ReallySilent";
    EXPECT_TRUE(ParseSwitches(huge).reallySilent);
}

TEST_F(RunTest, FirstInstallationOnXp) {
    AddKerberosPackage();
    // The credential manager reads its defaults as it starts: they are there by then.
    std::vector<std::string> seenAtStart;
    auto install = m.Packages()[kPackagePath].install;
    m.Packages()[kPackagePath].install = [&, install] {
        install();
        m.Programs()[kNetIdMgrPath].run = [&](const winsim::ProcessStart&) {
            if (const winsim::RegKey* key = m.FindKey(HKEY_CURRENT_USER, kCredWindow))
                for (auto& v : key->values) seenAtStart.push_back(v.name);
        };
    };
    m.Answer(kConfirm, IDYES);
    EXPECT_EQ(Run(""), kExitCompleted);

    ASSERT_EQ(m.boxes.size(), 1u);
    EXPECT_EQ(m.boxes[0].text, "This program will install Kerberos for Windows.\n\nDo you want to continue?");
    EXPECT_EQ(m.boxes[0].style, kQuestion);

    EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kKrb5Params, "DefaultLifetime"), 90000u);
    EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kCredWindow, "AutoInit"), 1u);
    EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kCredWindow, "NotificationAction"), 50008u);
    EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kCredWindow, "DefaultWindowMode"), 1u);
    std::vector<std::string> order;
    for (auto& v : m.FindKey(HKEY_CURRENT_USER, kCredWindow)->values) order.push_back(v.name);
    EXPECT_EQ(order, (std::vector<std::string>{"AutoInit", "NotificationAction", "DefaultWindowMode"}));
    EXPECT_EQ(seenAtStart, order);

    ASSERT_EQ(m.started.size(), 1u);
    const winsim::ProcessStart& s = m.started[0];
    EXPECT_EQ(s.program, kNetIdMgrPath);
    EXPECT_EQ(s.commandLine, kNetIdMgrPath);  // the path alone, unquoted
    EXPECT_EQ(s.startupFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(s.showWindow, SW_SHOWMINIMIZED);
    EXPECT_FALSE(s.inheritHandles);
    EXPECT_EQ(s.creationFlags, 0u);
    EXPECT_TRUE(s.environmentInherited);
    EXPECT_EQ(s.currentDirectory, "");
    EXPECT_TRUE(m.exitWindowsRequests.empty());
    EXPECT_EQ(LogCount(), 0u);
    // The site setting decides whether Firefox gets its policy for later profiles.
    EXPECT_EQ(m.FindKey(HKEY_LOCAL_MACHINE, "Software\\Policies\\Mozilla\\Firefox\\Authentication") != nullptr,
              site::kLaterUsers);
}

TEST_F(RunTest, ConfirmationAnswers) {
    // Only No stops: a box that could not be shown (0) lets the run go on.
    AddKerberosPackage();
    m.Answer(kConfirm, IDNO);
    EXPECT_EQ(Run(""), kExitStopped);
    EXPECT_TRUE(m.installerCalls.empty());
    m.Answer(kConfirm, 0);
    EXPECT_EQ(Run(""), kExitCompleted);
    EXPECT_EQ(m.installerCalls.size(), 1u);
}

TEST_F(RunTest, SilentSkipsOnlyTheConfirmation) {
    AddKerberosPackage();
    EXPECT_EQ(Run("/Silent"), kExitCompleted);
    EXPECT_TRUE(m.boxes.empty());
    EXPECT_EQ(m.installerCalls[0].uiLevel, 67);
}

TEST_F(RunTest, NetIdMgrStartsExactlyTheInstalledProgram) {
    // A program planted at a blank-cut prefix of the path must not run instead.
    AddKerberosPackage();
    m.AddProgram("C:\\Program.exe");
    EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
    ASSERT_EQ(m.started.size(), 1u);
    EXPECT_EQ(m.started[0].program, kNetIdMgrPath);
    EXPECT_EQ(m.started[0].application, kNetIdMgrPath);
}

TEST_F(RunTest, CredentialManagerNotStartedAsLocalSystem) {
    // Under a deployment tool it would run as SYSTEM on the user's desktop.
    const bool asSystem[] = {false, true};
    ForEachRow(asSystem, [&](bool system) {
        m.runningAsSystem = system;
        AddKerberosPackage();
        EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
        EXPECT_EQ(m.started.size(), system ? 0u : 1u) << system;
        EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kCredWindow, "AutoInit"), 1u);  // the defaults are written all the same
    });
}

TEST_F(RunTest, CredentialManagerNotStartedWithoutInstallDir) {
    m.AddPackage(kPackagePath, {0, nullptr});
    EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
    EXPECT_TRUE(m.started.empty());
    EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kCredWindow, "AutoInit"), 1u);
}

TEST_F(RunTest, InstallDirFromThe64BitViewAndWithoutBackslash) {
    m.AddPackage(kPackagePath, {0, [this] {
                                    m.SetString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos", "InstallDir",
                                                "%ProgramFiles%\\KfW", View::k64);
                                }});
    m.AddProgram("C:\\Program Files\\KfW\\bin\\netidmgr.exe");
    EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
    ASSERT_EQ(m.started.size(), 1u);
    EXPECT_EQ(m.started[0].commandLine, "C:\\Program Files\\KfW\\bin\\netidmgr.exe");
}

TEST_F(RunTest, OverlongInstallDirIsNotStarted) {
    m.AddPackage(kPackagePath, {0, [this] {
                                    m.SetString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos", "InstallDir",
                                                "C:\\" + std::string(240, 'k') + "\\");
                                }});
    EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
    EXPECT_TRUE(m.started.empty());
    EXPECT_EQ(m.CallCount("CreateProcessA"), 0);
}

TEST_F(RunTest, MissingPackage) {
    const std::string expected =
        "FATAL ERROR: The Kerberos for Windows installer failed with the following error:\n\n"
        "ERROR the installer file: C:\\Kestrup Setup\\kfw_release.msi is missing.";
    // Silent: the log, no box.
    EXPECT_EQ(Run("/Silent"), kExitStopped);
    EXPECT_EQ(LogEntry("0"), expected);
    EXPECT_TRUE(m.boxes.empty());
    // Without switches: the box, no further log entry.
    m.Answer(kConfirm, IDYES);
    m.Answer("Kerberos for Windows Installer Error", IDOK);
    EXPECT_EQ(Run(""), kExitStopped);
    ASSERT_EQ(m.boxes.size(), 2u);
    EXPECT_EQ(m.boxes[1].text, expected);
    EXPECT_EQ(m.boxes[1].style, kError);
    EXPECT_EQ(LogCount(), 1u);
    EXPECT_FALSE(m.HasValue(HKEY_CURRENT_USER, kCredWindow, "AutoInit"));
}

TEST_F(RunTest, FailedPackageIsLoggedWithItsCodeAndText) {
    AddKerberosPackage(1603);
    EXPECT_EQ(Run("/ReallySilent"), kExitStopped);
    EXPECT_EQ(LogEntry("0"),
              std::string("FATAL ERROR: The Kerberos for Windows installer failed with the following error:\n\n"
                          "Installer ") +
                  kPackagePath + " FAILED, returned 1603 (Fatal error during installation.)");
    EXPECT_TRUE(m.started.empty());
}

TEST_F(RunTest, UserCancellationEndsSilently) {
    for (const char* line : {"", "/Silent", "/ReallySilent"}) {
        AddKerberosPackage(1602);
        if (std::string(line).empty()) m.Answer(kConfirm, IDYES);
        EXPECT_EQ(Run(line), kExitStopped) << line;
    }
    EXPECT_EQ(m.boxes.size(), 1u);  // the confirmation only
    EXPECT_EQ(LogCount(), 0u);
}

TEST_F(RunTest, RebootRequiredAsksEvenWhenReallySilent) {
    struct Case {
        int answer;
        size_t restarts;
    } cases[] = {{IDYES, 1}, {IDNO, 0}, {0, 0}};
    ForEachRow(cases, [&](const Case& c) {
        AddKerberosPackage(3010);
        m.Answer(kRestart, c.answer);
        EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
        ASSERT_EQ(m.boxes.size(), 1u);
        EXPECT_EQ(m.boxes[0].text,
                  "In order to complete the installation of Kerberos for Windows, you should restart your "
                  "computer.\n\nDo you want to restart your computer now? Click No if you would prefer to restart "
                  "manually at a later time.");
        EXPECT_EQ(m.boxes[0].style, kQuestion);
        ASSERT_EQ(m.exitWindowsRequests.size(), c.restarts) << c.answer;
        if (c.restarts) EXPECT_EQ(m.exitWindowsRequests[0].flags, 3u);
        // The package was installed before the question, so the defaults and netidmgr are there.
        EXPECT_EQ(m.started.size(), 1u);
    });
}

TEST_F(RunTest, VistaWritesNotificationActionOnlyAfterTheLogOffAnswer) {
    struct Case {
        int answer;
        bool written;
        bool loggedOff;
    } cases[] = {{IDYES, true, true}, {IDNO, true, false}, {0, false, false}};
    ForEachRow(cases, [&](const Case& c) {
        UseVista();
        AddKerberosPackage();
        bool writtenBeforeQuestion = true;
        m.onBox = [&](const winsim::MessageBoxShown&) { writtenBeforeQuestion = NotificationActionWritten(); };
        m.Answer(kLogOff, c.answer);
        EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
        EXPECT_FALSE(writtenBeforeQuestion);
        EXPECT_EQ(NotificationActionWritten(), c.written) << c.answer;
        EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, kCredWindow, "DefaultWindowMode"), 1u);
        ASSERT_EQ(m.exitWindowsRequests.size(), c.loggedOff ? 1u : 0u);
        if (c.loggedOff) EXPECT_EQ(m.exitWindowsRequests[0].flags, 4u);
        EXPECT_EQ(m.boxes.back().text,
                  "In order to use Kerberos for Windows, you must log off and back on to your Windows user account."
                  "\n\nDo you want to log off now? Click No if you would prefer to log off at a later time; but note "
                  "that till you do log off, Kerberos for Windows may not function properly.");
    });
}

TEST_F(RunTest, VistaRestartAcceptedNeverWritesNotificationAction) {
    UseVista();
    AddKerberosPackage(3010);
    m.Answer(kRestart, IDYES);
    EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
    EXPECT_EQ(BoxTitles(), std::vector<std::string>{kRestart});
    EXPECT_FALSE(NotificationActionWritten());
}

TEST_F(RunTest, VistaRestartDeclinedIsFollowedByLogOff) {
    UseVista();
    AddKerberosPackage(3010);
    m.Answer(kConfirm, IDYES);
    m.Answer(kRestart, IDNO);
    m.Answer(kLogOff, IDNO);
    EXPECT_EQ(Run(""), kExitCompleted);
    EXPECT_EQ(BoxTitles(), (std::vector<std::string>{kConfirm, kRestart, kLogOff}));
    EXPECT_TRUE(NotificationActionWritten());
    EXPECT_TRUE(m.exitWindowsRequests.empty());
}

TEST_F(RunTest, RemovalQuestionTexts) {
    const std::string info = site::kInfoPage;
    EXPECT_EQ(ComposeRemovalQuestion("{T}", ""),
              "PC-Tessel will be removed and replaced by Kerberos for Windows.\nFor more information about Kerberos "
              "for Windows please see:\n\n" +
                  info + "\n\nDo you want to continue?");
    EXPECT_EQ(ComposeRemovalQuestion("{T}", "{A}"),
              "PC-Tessel will be removed and replaced by Kerberos for Windows.\nFor more information about Kerberos "
              "for Windows please see:\n\n" +
                  info + "\n\nPC-Marlo will also be removed.\n\nDo you want to continue?");
    EXPECT_EQ(ComposeRemovalQuestion("", "{A}"), "This program must remove PC-Marlo.\n\nDo you want to continue?");
}

constexpr char kLogFolder[] = "C:\\WINDOWS\\Logs\\Kestrup\\";
const std::string kRunLog = std::string(kLogFolder) + "kestrup-20261207-214500";  // winsim's clock, in UTC

TEST_F(RunTest, RunLogIsMadeNewWhereNobodyCanPlantOne) {
    const std::string first = kRunLog + ".log", next = kRunLog + "-1.log", planted = "C:\\Users\\Public\\x";
    struct Row {
        const char* what;
        std::function<void()> arrange;
        std::string log;  // the run's log, empty for none
    } rows[] = {
        {"made new, its folders too", [] {}, first},
        {"a file at its name is kept, and the next name taken", [&] { m.AddFile(first, "earlier"); }, next},
        {"a link at its name is never followed", [&] { m.AddLink(first, planted + "\\planted.log"); }, next},
        {"the Logs folder a junction: no log",
         [&] {
             m.AddDirectory(planted);
             m.AddJunction("C:\\WINDOWS\\Logs", planted);
         },
         ""},
        {"the folder cannot be made: no log", [&] { m.AddFile("C:\\WINDOWS\\Logs"); }, ""},
        {"a full disk ends the log, not the run", [&] { m.diskSpace = 40; }, first},
    };
    ForEachRow(rows, [&](const Row& row) {
        row.arrange();
        AddKerberosPackage();
        EXPECT_EQ(Run("/ReallySilent /NoHotFix"), kExitCompleted) << row.what;
        EXPECT_EQ(LogCount(), 0u) << row.what;
        EXPECT_EQ(m.started.size(), 1u) << row.what;
        EXPECT_FALSE(m.FindFile(planted + "\\planted.log")) << row.what;
        EXPECT_FALSE(m.FindFile(planted + "\\Kestrup")) << row.what;
        if (row.log == next) EXPECT_EQ(m.FindFile(first)->data, m.FindFile(first)->linkTarget.empty() ? "earlier" : "");
        ASSERT_EQ(m.installerCalls.size(), 1u);
        if (row.log.empty()) {
            EXPECT_EQ(m.installerCalls[0].logFile, "") << row.what;
            return;
        }
        const winsim::FileEntry* log = m.FindFile(row.log);
        ASSERT_TRUE(log) << row.what;
        if (m.diskSpace >= 0) {
            EXPECT_LE(log->data.size(), 40u);
            return;
        }
        // Windows Installer's verbose log ("/l*v"), beside the run's, set before the package is installed.
        const std::string stem = row.log.substr(0, row.log.size() - 4);
        EXPECT_EQ(m.installerCalls[0].logFile, stem + ".install.log") << row.what;
        EXPECT_EQ(m.installerCalls[0].logMode, 0x1FDFu);
        EXPECT_TRUE(m.FindFile(stem + ".install.log"));
        for (const std::string& text : std::vector<std::string>{
                 "switches: /ReallySilent /NoHotFix; Windows 5.1.2600 Service Pack 2",
                 "GetOsClass: OsClass 8, Windows XP", "RemoveEarlierSoftware: none found",
                 "Windows Installer's log: " + stem + ".install.log", "InstallKerberosPackage: installed",
                 "program " + std::string(kNetIdMgrPath) + ": started, not waited for",
                 "KB892090 hotfix skipped: /NoHotFix", "exit value 1\r\n"})
            EXPECT_NE(log->data.find(text), std::string::npos) << row.what << ": " << text << "\n" << log->data;
    });
}

TEST_F(RunTest, RunLogKeepsTheNewestTenRuns) {
    const std::string folder = kLogFolder;
    for (int day = 10; day < 22; ++day) m.AddFile(folder + "kestrup-202611" + std::to_string(day) + "-080000.log");
    m.AddFile(folder + "kestrup-20261110-080000.install.log");  // Windows Installer's, beside the oldest run's
    m.AddDirectory(folder + "kestrup-20261001-080000.log");     // not a file: not the run's to remove
    m.AddFile(folder + "kestrup-notes.txt");
    AddKerberosPackage(1603);
    EXPECT_EQ(Run("/ReallySilent"), kExitStopped);
    std::vector<std::string> left;
    for (const winsim::FileEntry* e : m.ListDirectory(folder)) left.push_back(e->path.substr(folder.size()));
    std::vector<std::string> expected = {"kestrup-20261001-080000.log"};
    for (int day = 13; day < 22; ++day) expected.push_back("kestrup-202611" + std::to_string(day) + "-080000.log");
    expected.insert(expected.end(),
                    {"kestrup-20261207-214500.install.log", "kestrup-20261207-214500.log", "kestrup-notes.txt"});
    EXPECT_EQ(left, expected);
    const std::string log = m.FindFile(kRunLog + ".log")->data;
    for (const char* text : {"installer event log: FATAL ERROR: The Kerberos for Windows installer failed",
                             "\r\n    Installer C:\\Kestrup Setup\\kfw_release.msi FAILED, returned 1603",
                             "InstallKerberosPackage: failed: ", "exit value 0\r\n"})
        EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
}

TEST_F(RunTest, KdcNamesBlockFollowsTheNames) {
    EXPECT_EQ(site::kKdcNamesSize, sizeof(site::kKdcNames));
    EXPECT_EQ(site::kKdcNames[site::kKdcNamesSize - 1], '\0');
    EXPECT_EQ(site::kKdcNames[site::kKdcNamesSize - 2], '\0');
}

}  // namespace

namespace {

constexpr char kCalendarDialog[] = "#103";

TEST_F(RunTest, OldCalendarClientCancelledStopsBeforeAnything) {
    AddKerberosPackage();
    m.SetString(HKEY_LOCAL_MACHINE, kCalendarClientKey, "DisplayVersion", "9.0.4");
    m.Answer(kConfirm, IDYES);
    m.ScriptDialog({{7}});
    EXPECT_EQ(Run(""), kExitStopped);
    EXPECT_TRUE(m.installerCalls.empty());
    EXPECT_EQ(m.boxes.size(), 1u);
    EXPECT_EQ(LogCount(), 0u);

    m.ScriptDialog({{3}});  // OK goes on; /Silent still shows the dialog
    EXPECT_EQ(Run("/Silent"), kExitCompleted);
    EXPECT_EQ(m.installerCalls.size(), 1u);
    EXPECT_EQ(m.dialogs.size(), 2u);
    EXPECT_EQ(m.dialogs[0].templateName, kCalendarDialog);

    EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);  // not checked at all
    EXPECT_EQ(m.dialogs.size(), 2u);
}

class RunEngineUpdateTest : public RunTest {
protected:
    void Furnish() override {
        RunTest::Furnish();
        AddKerberosPackage();
        m.FindFile("C:\\WINDOWS\\system32\\msiexec.exe")->fileVersions = {{"040904B0", "2.0.2600.2"}};
        m.AddProgram(std::string(kProgramDir) + "WindowsInstaller-KB893803-v2-x86.exe");
    }
};

TEST_F(RunEngineUpdateTest, RestartRequestedEndsTheRun) {
    EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
    EXPECT_EQ(m.exitWindowsRequests.size(), 1u);
    EXPECT_TRUE(m.installerCalls.empty());
}

TEST_F(RunEngineUpdateTest, RestartDeclinedStopsAndIsLogged) {
    m.Answer(kConfirm, IDYES);
    m.Answer("Reboot now?", IDNO);
    EXPECT_EQ(Run(""), kExitStopped);
    EXPECT_EQ(LogEntry("0"), "FATAL ERROR: Unable to continue installation until the computer is restarted.");
    EXPECT_TRUE(m.installerCalls.empty());
    EXPECT_TRUE(m.exitWindowsRequests.empty());
}

TEST_F(RunEngineUpdateTest, RedistributableMissingGoesOn) {
    m.RemoveFile(std::string(kProgramDir) + "WindowsInstaller-KB893803-v2-x86.exe");
    EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
    EXPECT_EQ(m.installerCalls.size(), 1u);
    EXPECT_EQ(LogCount(), 0u);
}

TEST_F(RunTest, HotfixRunsBeforeThePackageUnlessNoHotFix) {
    const std::string hotfix = std::string(kProgramDir) + "WindowsXP-KB892090-x86-ENU.exe";
    m.AddProgram(hotfix);
    m.FindKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall")->subkeys.clear();
    size_t startedBeforePackage = 0;
    m.AddPackage(kPackagePath, {0, [&] { startedBeforePackage = m.started.size(); }});
    EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
    ASSERT_EQ(startedBeforePackage, 1u);
    EXPECT_EQ(m.started[0].program, hotfix);

    m.started.clear();
    EXPECT_EQ(Run("/ReallySilent /NoHotFix"), kExitCompleted);
    EXPECT_TRUE(m.started.empty());
}

TEST_F(RunTest, MissingHotfixWarnsAndGoesOn) {
    AddKerberosPackage();
    m.FindKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall")->subkeys.clear();
    m.Answer(kConfirm, IDYES);
    m.Answer("Unable to Install Hotfix", IDOK);
    EXPECT_EQ(Run(""), kExitCompleted);
    EXPECT_EQ(LogEntry("0"), "ERROR: the installer file WindowsXP-KB892090-x86-ENU.exe is missing.");
    EXPECT_EQ(m.installerCalls.size(), 1u);
}

}  // namespace

namespace {

constexpr char kRemoveTitle[] = "Remove Old Software?";
constexpr char kUnableTitle[] = "Unable to Remove Software";

class RunRemovalTest : public RunTest {
protected:
    void Furnish() override {
        RunTest::Furnish();
        AddKerberosPackage();
        AddEntry();
        m.AddProgram("C:\\PCT\\uninst.exe", {0, 0, [this](const winsim::ProcessStart&) {
                                                 if (uninstallerWorks)
                                                     m.FindKey(HKEY_LOCAL_MACHINE, kRoot)->subkeys.erase("PCTessel");
                                             }});
    }
    bool EntryLeft() { return m.FindKey(HKEY_LOCAL_MACHINE, kEntry) != nullptr; }
    void AddEntry() {
        m.SetString(HKEY_LOCAL_MACHINE, kEntry, "DisplayName", "PC-Tessel 2.0");
        m.SetString(HKEY_LOCAL_MACHINE, kEntry, "UninstallString", "C:\\PCT\\uninst.exe");
    }

    static constexpr char kRoot[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
    static constexpr char kEntry[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PCTessel";
    bool uninstallerWorks = true;
};

TEST_F(RunRemovalTest, RefusalIsReportedLikeAFailure) {
    m.Answer(kConfirm, IDYES);
    m.Answer(kRemoveTitle, IDNO);
    m.Answer(kUnableTitle, IDOK);
    EXPECT_EQ(Run(""), kExitStopped);
    EXPECT_EQ(m.boxes[1].text,
              "PC-Tessel will be removed and replaced by Kerberos for Windows.\nFor more information about Kerberos "
              "for Windows please see:\n\n" +
                  std::string(site::kInfoPage) + "\n\nDo you want to continue?");
    EXPECT_EQ(m.boxes[1].style, kQuestion);
    EXPECT_EQ(m.boxes[2].text,
              "This program was unable to remove the previous Kerberos software.\n\n"
              "The installation of Kerberos for Windows cannot continue.");
    EXPECT_EQ(m.boxes[2].style, kError);
    EXPECT_TRUE(EntryLeft());
    EXPECT_TRUE(m.started.empty());
    EXPECT_TRUE(m.installerCalls.empty());
    EXPECT_EQ(LogCount(), 0u);

    m.Answer(kRemoveTitle, IDNO);  // /Silent still asks, and logs instead of showing
    EXPECT_EQ(Run("/Silent"), kExitStopped);
    EXPECT_EQ(LogEntry("0"), "FATAL ERROR: Unable to remove old Tessel software");
}

TEST_F(RunRemovalTest, RemovalThenRestartQuestion) {
    struct Case {
        int answer;
        size_t restarts;
        size_t installs;
    } cases[] = {{IDYES, 1, 0}, {IDNO, 0, 1}, {0, 0, 1}};
    ForEachRow(cases, [&](const Case& c) {
        m.Answer(kRemoveTitle, 0);  // no box: only No refuses
        m.Answer(kRestart, c.answer);
        EXPECT_EQ(Run("/Silent"), kExitCompleted);
        EXPECT_FALSE(EntryLeft());
        ASSERT_EQ(BoxTitles(), (std::vector<std::string>{kRemoveTitle, kRestart}));
        EXPECT_EQ(m.boxes[1].text,
                  "The previous Kerberos software has been removed. This program must restart your computer to "
                  "complete the removal process.\n\nAfter your system has restarted, run this program again to "
                  "complete the installation of Kerberos for Windows.\n\nDo you want to restart your computer now?");
        EXPECT_EQ(m.exitWindowsRequests.size(), c.restarts) << c.answer;
        EXPECT_EQ(m.installerCalls.size(), c.installs) << c.answer;
    });
}

TEST_F(RunRemovalTest, ReallySilentRemovesAndRestartsUnasked) {
    EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
    EXPECT_TRUE(m.boxes.empty());
    EXPECT_FALSE(EntryLeft());
    ASSERT_EQ(m.exitWindowsRequests.size(), 1u);
    EXPECT_EQ(m.exitWindowsRequests[0].flags, 3u);
    EXPECT_TRUE(m.installerCalls.empty());
}

TEST_F(RunRemovalTest, IdentityIsWrittenBeforeTheUninstallerTakesKerberosAway) {
    // The earlier software's uninstaller also deletes klist.exe, which tells the user's principal.
    const std::string bin = "C:\\Program Files\\MIT\\Kerberos\\bin\\";
    m.SetString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos\\Client\\CurrentVersion", "PathName",
                "C:\\Program Files\\MIT\\Kerberos\\");
    winsim::Program klist;
    std::string realm = site::kDomain;
    for (char& c : realm) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    klist.output = "Ticket cache: API:krb5cc\r\nDefault principal: alice@" + realm + "\r\n";
    m.AddProgram(bin + "klist.exe", klist);
    m.AddProgram("C:\\PCT\\uninst.exe", {0, 0, [this, bin](const winsim::ProcessStart&) {
                                             m.FindKey(HKEY_LOCAL_MACHINE, kRoot)->subkeys.erase("PCTessel");
                                             m.Programs().erase(bin + "klist.exe");
                                             m.RemoveFile(bin + "klist.exe");
                                         }});
    EXPECT_EQ(Run("/ReallySilent"), kExitCompleted);
    EXPECT_FALSE(EntryLeft());
    EXPECT_EQ(m.GetString(HKEY_CURRENT_USER, "Software\\MIT\\kerberos5", "ccname"),
              "alice@" + std::string(site::kDomain));
}

TEST_F(RunRemovalTest, UninstallerThatLeavesTheEntryStopsTheRun) {
    uninstallerWorks = false;
    m.Answer(kConfirm, IDYES);
    m.Answer(kRemoveTitle, IDYES);
    m.Answer(kUnableTitle, IDOK);
    EXPECT_EQ(Run(""), kExitStopped);
    EXPECT_EQ(m.started.size(), 1u);
    EXPECT_TRUE(m.installerCalls.empty());
    EXPECT_TRUE(m.exitWindowsRequests.empty());
}

}  // namespace
