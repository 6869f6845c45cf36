#include "driver/engine_update.h"

#include "driver/os_class.h"
#include "support/machine_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kMsiexec[] = "C:\\WINDOWS\\system32\\msiexec.exe";
constexpr char kReboot[] = "Reboot now?";
constexpr char kDeclined[] = "FATAL ERROR: Unable to continue installation until the computer is restarted.";

class VersionTest : public MachineTest {};

TEST_F(VersionTest, SplitIntoFourNumbers) {
    struct Case {
        const char* text;
        std::array<int, 4> parts;
    } cases[] = {
        {"3.1.4000.1823", {3, 1, 4000, 1823}},
        {"1.2.3.4.5", {1, 2, 3, 4}},
        {"3.1", {3, 1, 0, 0}},
        {"7", {7, 0, 0, 0}},
        {"", {0, 0, 0, 0}},
        {"1..3", {1, 0, 3, 0}},
        {"5.1.2600.5512 (xpsp.080413-2111)", {5, 1, 2600, 5512}},
        {"abc.2", {0, 2, 0, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(SplitVersion(c.text), c.parts) << c.text;
}

TEST_F(VersionTest, FirstDifferingPartDecides) {
    struct Case {
        const char* installed;
        const char* minimum;
        bool older;
    } cases[] = {
        {"3.1.4001.0", "3.1.4000", false},
        {"2.0.2600.2", "3.1.4000", true},
        {"4.0.6000", "3.1.4000", false},  // newer although its second part is smaller
        {"4.5.6001.22308", "3.1.4000", false},
        {"3.1.4000.1823", "3.1.4000", false},
        {"3.1.4000", "3.1.4000", false},
        {"3.0.3790.2180", "3.1.4000", true},
        {"2.0.2599.9", "2.0.2600", true},
        {"2.0.2600.0", "2.0.2600", false},
        {"", "2.0.2600", true},  // no readable version: update
        {"abc", "2.0.2600", true},
    };
    for (const Case& c : cases) EXPECT_EQ(VersionIsOlder(c.installed, c.minimum), c.older) << c.installed;
}

class EngineUpdateTest : public MachineTest {
protected:
    void SetEngine(const std::string& version) {
        m.AddFile(kMsiexec, "MZ");
        winsim::FileEntry* e = m.FindFile(kMsiexec);
        e->translations = {{0x0409, 0x04b0}};
        e->fileVersions = {{"040904b0", version}};
    }
    void AddRedistributables() {
        for (const char* name : {"instmsia.exe", "instmsiw.exe", "WindowsInstaller-KB893803-v2-x86.exe"})
            m.AddProgram(std::string(kProgramDir) + name);
    }
    EngineUpdate Update(int osClass, const std::string& description, RunFlags flags = {true, true, false}) {
        return UpdateWindowsInstaller(flags, osClass, description);
    }
};

TEST_F(EngineUpdateTest, FileVersionLookup) {
    m.AddFile("C:\\a.exe");
    winsim::FileEntry* a = m.FindFile("C:\\a.exe");
    a->translations = {{0x0407, 0x04e4}, {0x0409, 0x04b0}};  // the first entry has no string
    a->fileVersions = {{"040904b0", "3.1.4000.1823"}};
    EXPECT_EQ(GetFileVersion("C:\\a.exe"), "3.1.4000.1823");

    m.AddFile("C:\\b.exe");
    m.FindFile("C:\\b.exe")->fileVersions = {{"040904B0", "2.0.2600.0"}};  // no translation table
    EXPECT_EQ(GetFileVersion("C:\\b.exe"), "2.0.2600.0");
    m.userLanguage = 0x0407;  // the user's language decides which block is asked for
    EXPECT_EQ(GetFileVersion("C:\\b.exe"), "");

    m.AddFile("C:\\c.exe");
    EXPECT_EQ(GetFileVersion("C:\\c.exe"), "");  // no version resource
    EXPECT_EQ(GetFileVersion("C:\\missing.exe"), "");
}

TEST_F(EngineUpdateTest, RedistributableByWindows) {
    struct Case {
        int osClass;
        const char* description;
        const char* engine;
        const char* program;  // null: no update
    } cases[] = {
        {kOsWin95, "Windows 95   Ver 4.0 (950)", "1.1.1029.0", "instmsia.exe"},
        {kOsWin98, "Windows 98   Ver 4.10 (2222)", "2.0.2599.0", "instmsia.exe"},
        {kOsWinMe, "Windows ME   Ver 4.90 (3000)", "1.2.0.0", "instmsia.exe"},
        {kOsWin98, "Windows 98   Ver 4.10 (2222)", "2.0.2600.0", nullptr},
        {kOs2000, "Windows 2000  Service Pack 2 Ver 5.0 (2195)", "1.1.0.0", "instmsiw.exe"},
        {kOs2000, "Windows 2000  Service Pack 2 Ver 5.0 (2195)", "2.0.2600.0", nullptr},
        {kOs2000, "Windows 2000  Service Pack 3 Ver 5.0 (2195)", "2.0.2600.0", "WindowsInstaller-KB893803-v2-x86.exe"},
        {kOs2000, "Windows 2000  Service Pack 4 Ver 5.0 (2195)", "3.1.4000.2435", nullptr},
        {kOs2000, "Windows 2000   Ver 5.0 (2195)", "1.0.0.0", "instmsiw.exe"},
        {kOsXp, "Windows XP  Service Pack 2 Ver 5.1 (2600)", "3.0.3790.2180", "WindowsInstaller-KB893803-v2-x86.exe"},
        {kOsXp, "Windows XP  Service Pack 3 Ver 5.1 (2600)", "3.1.4000.1823", nullptr},
        {kOsXp, "Windows XP  Service Pack 3 Ver 5.1 (2600)", "4.5.6001.22308", nullptr},
        {kOsServer2003, "Windows Server 2003   Ver 5.2 (3790)", "1.0.0.0", nullptr},
        {kOsVista, "Windows Vista   Ver 6.0 (6000)", "1.0.0.0", nullptr},
        {kOsNt4, "Windows NT  Service Pack 6 Ver 4.0 (1381)", "1.0.0.0", nullptr},
        {kOsUnknown, "", "1.0.0.0", nullptr},
    };
    ForEachRow(cases, [&](const Case& c) {
        // The 95 family answers the W calls as their stubs do.
        if (c.osClass == kOsWin95 || c.osClass == kOsWin98 || c.osClass == kOsWinMe)
            m.SetVersion(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222);
        AddRedistributables();
        SetEngine(c.engine);
        EngineUpdate outcome = Update(c.osClass, c.description);
        EXPECT_TRUE(m.boxes.empty()) << c.description;  // ReallySilent: no question
        if (!c.program) {
            EXPECT_EQ(outcome, EngineUpdate::kContinue) << c.description << " " << c.engine;
            EXPECT_TRUE(m.started.empty()) << c.description << " " << c.engine;
            return;
        }
        EXPECT_EQ(outcome, EngineUpdate::kRestartRequested) << c.description;
        ASSERT_EQ(m.started.size(), 1u) << c.description;
        EXPECT_EQ(m.started[0].commandLine, std::string("\"") + kProgramDir + c.program + "\" /quiet /norestart");
        EXPECT_EQ(m.started[0].showWindow, SW_SHOWNORMAL);
        EXPECT_EQ(m.exitWindowsRequests.size(), 1u);
    });
}

TEST_F(EngineUpdateTest, EngineWithoutVersionIsUpdated) {
    AddRedistributables();
    EXPECT_EQ(Update(kOsXp, "Windows XP  Service Pack 2 Ver 5.1 (2600)"), EngineUpdate::kRestartRequested);
}

TEST_F(EngineUpdateTest, ExactlyTheRedistributableInTheProgramDirectoryRuns) {
    AddRedistributables();
    m.AddProgram("C:\\Kestrup.exe");  // planted at the blank-cut prefix "C:\Kestrup"
    SetEngine("2.0.2600.0");
    Update(kOsXp, "Windows XP  Service Pack 2 Ver 5.1 (2600)");
    ASSERT_EQ(m.started.size(), 1u);
    EXPECT_EQ(m.started[0].program, std::string(kProgramDir) + "WindowsInstaller-KB893803-v2-x86.exe");
}

TEST_F(EngineUpdateTest, RestartQuestion) {
    AddRedistributables();
    SetEngine("2.0.2600.0");
    struct Case {
        int answer;
        EngineUpdate outcome;
    } cases[] = {{IDYES, EngineUpdate::kRestartRequested},
                 {IDNO, EngineUpdate::kRestartDeclined},
                 {0, EngineUpdate::kRestartDeclined}};
    for (RunFlags flags : {RunFlags{}, RunFlags{true, false, false}}) {  // asked with and without /Silent
        for (const Case& c : cases) {
            m.exitWindowsRequests.clear();
            size_t logged = LogCount();
            m.Answer(kReboot, c.answer);
            EXPECT_EQ(Update(kOsXp, "Windows XP  Service Pack 2 Ver 5.1 (2600)", flags), c.outcome);
            EXPECT_EQ(m.boxes.back().text,
                      "Your Windows Installer has been updated to the latest version and will require a restart.\n\n"
                      "After your system has restarted, run this program again to complete the installation of "
                      "Kerberos for Windows.\n\nDo you want to restart your computer now? If you do not restart, "
                      "this program will quit and the installation of Kerberos for Windows cannot proceed.");
            EXPECT_EQ(m.boxes.back().style, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION | MB_TOPMOST));
            bool declined = c.outcome == EngineUpdate::kRestartDeclined;
            EXPECT_EQ(m.exitWindowsRequests.size(), declined ? 0u : 1u);
            // A declined restart is logged in every mode, never shown.
            EXPECT_EQ(LogCount(), logged + (declined ? 1 : 0));
        }
    }
    EXPECT_EQ(LogEntry("0"), kDeclined);
}

TEST_F(EngineUpdateTest, RedistributableThatCannotStartChangesNothing) {
    SetEngine("2.0.2600.0");
    EXPECT_EQ(Update(kOsXp, "Windows XP  Service Pack 2 Ver 5.1 (2600)", RunFlags{}), EngineUpdate::kContinue);
    m.AddProgram(std::string(kProgramDir) + "WindowsInstaller-KB893803-v2-x86.exe", {0, 193});
    EXPECT_EQ(Update(kOsXp, "Windows XP  Service Pack 2 Ver 5.1 (2600)", RunFlags{}), EngineUpdate::kContinue);
    EXPECT_TRUE(m.boxes.empty());
    EXPECT_EQ(LogCount(), 0u);
    EXPECT_TRUE(m.exitWindowsRequests.empty());
}

TEST_F(EngineUpdateTest, RedistributableThatFailsStillCountsAsRun) {
    m.AddProgram(std::string(kProgramDir) + "WindowsInstaller-KB893803-v2-x86.exe", {1603});
    SetEngine("2.0.2600.0");
    EXPECT_EQ(Update(kOsXp, "Windows XP  Service Pack 2 Ver 5.1 (2600)"), EngineUpdate::kRestartRequested);
}

}  // namespace
