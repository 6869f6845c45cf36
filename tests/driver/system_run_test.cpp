// Whole runs as a deployment tool starts them: SYSTEM, session 0, 64-bit
// Windows 10 (seen as 6.2 by a program without a compatibility manifest),
// users logged on. One row per way such a run went wrong.
#include "driver/run.h"

#include "driver/prerequisites.h"

#include "support/machine_fixture.h"

#include <functional>

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kCredWindow[] = "Software\\MIT\\NetIDMgr\\CredWindow";
constexpr char kUninstall[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr char kTesselEntry[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PCTessel";
constexpr char kAfsCode[] = "{6AE3A8B5-2C84-4D2A-9F6B-3D43E2F1A0C7}";
constexpr char kBob[] = "S-1-5-21-1-2-3-1004";
constexpr char kBobPrefs[] = "C:\\Users\\bob\\AppData\\Roaming\\Mozilla\\Firefox\\Profiles\\x.default\\prefs.js";
constexpr char kRemovalFailed[] = "FATAL ERROR: Unable to remove old Tessel software";

class SystemRunTest : public MachineTest {
public:  // the rows' lambdas reach these
    void Furnish() override {
        m.SetVersion(VER_PLATFORM_WIN32_NT, 6, 2, 9200);
        m.runningAsSystem = true;
        m.sessionId = 0;
        m.AddFile("C:\\WINDOWS\\system32\\msiexec.exe");
        m.FindFile("C:\\WINDOWS\\system32\\msiexec.exe")->fileVersions = {{"040904B0", "5.0.9200.16384"}};
        AddKerberosPackage();
        // bob, a user of the computer with a Firefox profile.
        m.AddNt6ProfilesFolder();
        m.SetString(HKEY_LOCAL_MACHINE,
                    "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + std::string(kBob),
                    "ProfileImagePath", "C:\\Users\\bob", View::k32, REG_EXPAND_SZ);
        m.AddNt6Profile("C:\\Users\\bob");
        m.AddFile("C:\\Users\\bob\\AppData\\Roaming\\Mozilla\\Firefox\\profiles.ini",
                  "[Profile0]\r\nIsRelative=1\r\nPath=Profiles/x.default\r\n");
        m.AddFile(kBobPrefs, "");
    }

    // An admin who is not the user at the desk, elevated over the shoulder.
    void RunAsAdminInUsersSession() {
        m.runningAsSystem = false;
        m.sessionId = 1;
        m.shellUser = kBob;
        m.Answer("Log off?", IDNO);  // seen here
    }
    void AddFirefox(bool is64Bit, const std::string& owner) {
        winsim::RunningProcess firefox{3000, "C:\\Program Files\\Mozilla Firefox\\firefox.exe"};
        firefox.is64Bit = is64Bit;
        firefox.owner = owner;
        m.processes.push_back(firefox);
    }
    bool FirefoxConfigured() { return !m.FindFile(kBobPrefs)->data.empty(); }

    void AddTesselUninstaller(winsim::Program program, const char* quiet = nullptr) {
        m.SetString(HKEY_LOCAL_MACHINE, kTesselEntry, "DisplayName", "PC-Tessel 2.0");
        m.SetString(HKEY_LOCAL_MACHINE, kTesselEntry, "UninstallString", "C:\\PCT\\uninst.exe");
        if (quiet) m.SetString(HKEY_LOCAL_MACHINE, kTesselEntry, "QuietUninstallString", quiet);
        m.AddProgram("C:\\PCT\\uninst.exe", std::move(program));
    }
    std::function<void()> RemoveTesselEntry() {
        return [this] { m.FindKey(HKEY_LOCAL_MACHINE, kUninstall)->subkeys.erase("PCTessel"); };
    }
};

TEST_F(SystemRunTest, AsSystemOnWindows10x64) {
    struct Row {
        const char* fault;
        const char* commandLine;
        std::function<void()> arrange;
        int exitValue;
        std::function<void()> check;
    } rows[] = {
        {"Restart Computer? and Log off? asked in session 0 hang the run", "/ReallySilent",
         [&] { AddKerberosPackage(ERROR_SUCCESS_REBOOT_REQUIRED); }, kExitCompleted,
         [&] {
             EXPECT_TRUE(m.exitWindowsRequests.empty());  // no box could be shown: nobody said yes
             EXPECT_FALSE(m.HasValue(HKEY_CURRENT_USER, kCredWindow, "NotificationAction"));
         }},
        {"a service's window station on XP: the confirmation and the package's wizard hang the run", "",
         [&] {
             m.SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600, 3);
             m.CreateKey(HKEY_LOCAL_MACHINE, kHotfixMarkerKey);
             m.windowStationVisible = false;
         },
         kExitCompleted,
         [&] {
             ASSERT_EQ(m.installerCalls.size(), 1u);
             EXPECT_EQ(m.installerCalls[0].uiLevel, INSTALLUILEVEL_BASIC | INSTALLUILEVEL_PROGRESSONLY);
         }},
        {"a failed package is shown in a box nobody sees instead of being logged", "",
         [&] { AddKerberosPackage(1603); }, kExitStopped, [&] { EXPECT_EQ(LogCount(), 1u); }},
        {"dialog 103 in session 0 hangs the run: it counts as not shown, which stops it", "/Silent",
         [&] { m.SetString(HKEY_LOCAL_MACHINE, kCalendarClientKey, "DisplayVersion", "9.0.4"); }, kExitStopped,
         [&] { EXPECT_TRUE(m.installerCalls.empty()); }},
        {"a 64-bit Firefox is not seen, so its prefs.js is rewritten under it", "/ReallySilent",
         [&] { AddFirefox(true, kBob); }, kExitCompleted, [&] { EXPECT_FALSE(FirefoxConfigured()); }},
        {"another user's Firefox is not seen by an administrator's run", "/ReallySilent",
         [&] {
             RunAsAdminInUsersSession();
             AddFirefox(false, kBob);
         },
         kExitCompleted, [&] { EXPECT_FALSE(FirefoxConfigured()); }},
        {"netidmgr started with another administrator's token on the user's desktop", "/ReallySilent",
         [&] { RunAsAdminInUsersSession(); }, kExitCompleted,
         [&] {
             EXPECT_TRUE(m.started.empty());
             EXPECT_EQ(LogCount(), 0u);
         }},
        {"1641, the installer restarting Windows, reported as a fatal error", "/ReallySilent",
         [&] { AddKerberosPackage(ERROR_SUCCESS_REBOOT_INITIATED); }, kExitCompleted,
         [&] {
             EXPECT_EQ(LogCount(), 0u);
             EXPECT_TRUE(m.started.empty());  // Windows is restarting: no netidmgr
         }},
        {"the 64-bit AFS package's entry is not found, so it is never removed", "/ReallySilent",
         [&] {
             const std::string entry = std::string(kUninstall) + "\\" + kAfsCode;
             m.SetString(HKEY_LOCAL_MACHINE, entry, "DisplayName", "QV-OpenAFS 1.7 (64-bit)", View::k64);
             m.AddLibrary(m.systemDirectory + "\\afsloopback.dll", {}, ERROR_BAD_EXE_FORMAT);  // a 64-bit one
             m.AddPackage(kAfsCode, {ERROR_SUCCESS, [this, entry] {
                                         m.FindKey(HKEY_LOCAL_MACHINE, kUninstall, View::k64)->subkeys.erase(kAfsCode);
                                     }});
         },
         kExitCompleted,
         [&] {
             ASSERT_FALSE(m.installerCalls.empty());
             EXPECT_EQ(m.installerCalls[0].target, kAfsCode);
             EXPECT_EQ(m.exitWindowsRequests.size(), 1u);  // removed: restart, run again
             for (const winsim::LibraryRequest& r : m.libraryRequests)
                 EXPECT_EQ(r.name.find("afsloopback"), std::string::npos) << "a 64-bit library loaded: " << r.name;
         }},
        {"the uninstaller's own dialog is shown where nobody sees it: the quiet command is there", "/Silent",
         [&] {
             AddTesselUninstaller({0, 0, [&](const winsim::ProcessStart&) { RemoveTesselEntry()(); }},
                                  "C:\\PCT\\uninst.exe /S");
         },
         kExitCompleted,
         [&] {
             ASSERT_EQ(m.started.size(), 1u);
             EXPECT_EQ(m.started[0].commandLine, "C:\\PCT\\uninst.exe /S");
         }},
        {"an uninstaller whose copy in %TEMP% works on for ten minutes after it exits counts as a failed removal",
         "/ReallySilent",
         [&] {
             winsim::Program uninstaller;
             uninstaller.finish = RemoveTesselEntry();
             uninstaller.finishesAfterMs = 10 * 60 * 1000;
             AddTesselUninstaller(uninstaller);
         },
         kExitCompleted,
         [&] {
             EXPECT_EQ(LogCount(), 0u);
             EXPECT_EQ(m.exitWindowsRequests.size(), 1u);
         }},
        {"an uninstaller that never ends is waited for for ever", "/ReallySilent",
         [&] {
             winsim::Program uninstaller;
             uninstaller.neverEnds = true;
             AddTesselUninstaller(uninstaller);
         },
         kExitStopped,
         [&] {
             EXPECT_EQ(LogEntry("0"), kRemovalFailed);
             EXPECT_LE(m.tickCount - 1000000u, 60u * 60 * 1000);  // given up within the hour
         }},
    };
    ForEachRow(rows, [&](const Row& row) {
        SCOPED_TRACE(row.fault);
        row.arrange();
        int exitValue = -1;
        try {
            exitValue = RunInstallation(nullptr, row.commandLine);
        } catch (const winsim::SimulationError& e) {
            ADD_FAILURE() << e.what();
            m.ReleaseLoadedLibraries();
            return;
        }
        EXPECT_EQ(exitValue, row.exitValue);
        if (m.runningAsSystem) EXPECT_TRUE(m.boxes.empty());
        EXPECT_TRUE(m.dialogs.empty());
        row.check();
        m.ReleaseLoadedLibraries();  // afsloopback.dll stays loaded by design
    });
}

}  // namespace
