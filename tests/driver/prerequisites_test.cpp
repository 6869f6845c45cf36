#include "driver/prerequisites.h"

#include "support/machine_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kXpHotfix[] = "C:\\Kestrup Setup\\WindowsXP-KB892090-x86-ENU.exe";
constexpr char kHotfixTitle[] = "Unable to Install Hotfix";
constexpr char kHotfixText[] =
    "This program was unable to install the KB892090 hotfix.\n\nClick OK to continue installing Kerberos for Windows.";

class PrerequisitesTest : public MachineTest {
protected:
    void SetCalendar(const std::string& version) {
        m.SetString(HKEY_LOCAL_MACHINE, kCalendarClientKey, "DisplayVersion", version);
    }
};

TEST_F(PrerequisitesTest, CalendarVersions) {
    struct Case {
        const char* version;
        bool dialog;
    } cases[] = {{"9.0.4", true}, {"10.1.2", false}, {"7", false},   {"abc.1", true},
                 {"9", false},    {"10.0", false},   {" 9.5", true}, {"", false}};
    for (const Case& c : cases) {
        SetCalendar(c.version);
        size_t shown = m.dialogs.size();
        if (c.dialog) m.ScriptDialog({{3}});
        EXPECT_TRUE(CheckCalendarSoftware(nullptr, RunFlags{})) << c.version;
        EXPECT_EQ(m.dialogs.size(), shown + (c.dialog ? 1 : 0)) << c.version;
    }
    m.FindKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall")->subkeys.clear();
    EXPECT_TRUE(CheckCalendarSoftware(nullptr, RunFlags{}));
}

TEST_F(PrerequisitesTest, CalendarKeyIn64BitViewCounts) {
    m.SetString(HKEY_LOCAL_MACHINE, kCalendarClientKey, "DisplayVersion", "8.1", View::k64);
    m.ScriptDialog({{7}});
    EXPECT_FALSE(CheckCalendarSoftware(nullptr, RunFlags{}));
}

TEST_F(PrerequisitesTest, DialogEndsOnlyOnItsTwoButtons) {
    SetCalendar("9.0.4");
    struct Case {
        std::vector<int> commands;
        bool goOn;
    } cases[] = {
        {{3}, true},
        {{7}, false},
        {{IDCANCEL, IDOK, 1000, 3}, true},  // Escape, the usual OK id and others leave it open
        {{IDCANCEL, 7}, false},
    };
    for (const Case& c : cases) {
        m.ScriptDialog({c.commands});
        EXPECT_EQ(CheckCalendarSoftware(nullptr, RunFlags{}), c.goOn);
        const winsim::DialogShown& d = m.dialogs.back();
        EXPECT_EQ(d.templateName, "#103");
        EXPECT_FALSE(d.owned);
        EXPECT_EQ(d.initResult, TRUE);  // focus goes to the default button
    }
}

TEST_F(PrerequisitesTest, DialogThatCannotBeShownStops) {
    SetCalendar("9.0.4");
    m.ScriptDialog({{}, true});
    EXPECT_FALSE(CheckCalendarSoftware(nullptr, RunFlags{}));
}

TEST_F(PrerequisitesTest, HotfixByWindows) {
    struct Case {
        DWORD platform, major, minor;
        WORD sp;
        const char* file;
    } cases[] = {
        {VER_PLATFORM_WIN32_NT, 5, 0, 3, nullptr},
        {VER_PLATFORM_WIN32_NT, 5, 0, 4, "Windows2000-KB892090-x86-ENU.exe"},
        {VER_PLATFORM_WIN32_NT, 5, 0, 5, nullptr},
        {VER_PLATFORM_WIN32_NT, 5, 1, 0, nullptr},
        {VER_PLATFORM_WIN32_NT, 5, 1, 1, nullptr},
        {VER_PLATFORM_WIN32_NT, 5, 1, 2, "WindowsXP-KB892090-x86-ENU.exe"},
        {VER_PLATFORM_WIN32_NT, 5, 1, 3, "WindowsXP-KB892090-x86-ENU.exe"},
        {VER_PLATFORM_WIN32_NT, 5, 2, 2, nullptr},
        {VER_PLATFORM_WIN32_NT, 6, 0, 2, nullptr},
        {VER_PLATFORM_WIN32_WINDOWS, 5, 1, 2, nullptr},
    };
    for (const Case& c : cases) {
        m.SetVersion(c.platform, c.major, c.minor, 2600, c.sp);
        std::string file;
        EXPECT_EQ(HotfixNeeded(file), c.file != nullptr) << c.major << "." << c.minor << " SP" << c.sp;
        if (c.file) EXPECT_EQ(file, c.file);
    }
    m.CreateKey(HKEY_LOCAL_MACHINE, kHotfixMarkerKey, View::k64);  // installed: the marker is found in either view
    m.SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600, 2);
    std::string file;
    EXPECT_FALSE(HotfixNeeded(file));
    m.versionQueryFails = true;
    m.FindKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", View::k64)
        ->subkeys.clear();
    EXPECT_FALSE(HotfixNeeded(file));
}

TEST_F(PrerequisitesTest, HotfixRunsFromItsShortPath) {
    m.AddProgram(kXpHotfix);
    InstallHotfix(RunFlags{});
    ASSERT_EQ(m.started.size(), 1u);
    EXPECT_EQ(m.started[0].commandLine, "C:\\KESTRU~1\\WINDOW~1.EXE /quiet /norestart");
    EXPECT_EQ(m.started[0].program, kXpHotfix);
    EXPECT_EQ(m.CallCount("WaitForSingleObject"), 1);
    EXPECT_EQ(LogCount(), 0u);
}

TEST_F(PrerequisitesTest, HotfixLongPathIsQuotedWhenThereAreNoShortNames) {
    m.shortNamesDisabled = true;
    m.AddProgram(kXpHotfix);
    m.AddProgram("C:\\Kestrup.exe");  // a decoy at the blank-cut prefix
    InstallHotfix(RunFlags{});
    ASSERT_EQ(m.started.size(), 1u);
    EXPECT_EQ(m.started[0].commandLine, std::string("\"") + kXpHotfix + "\" /quiet /norestart");
    EXPECT_EQ(m.started[0].program, kXpHotfix);
}

TEST_F(PrerequisitesTest, HotfixFailuresAreLoggedAndShownUnlessSilent) {
    struct Case {
        bool present;
        DWORD startError;
        bool silent;
        const char* logged;
    } cases[] = {
        {false, 0, false, "ERROR: the installer file WindowsXP-KB892090-x86-ENU.exe is missing."},
        {false, 0, true, "ERROR: the installer file WindowsXP-KB892090-x86-ENU.exe is missing."},
        {true, 193, false, "ERROR: Unable to install KB892090 hotfix."},
        {true, 193, true, "ERROR: Unable to install KB892090 hotfix."},
    };
    int n = 0;
    for (const Case& c : cases) {
        m.RemoveFile(kXpHotfix);
        if (c.present) m.AddProgram(kXpHotfix, {0, c.startError});
        size_t boxes = m.boxes.size();
        if (!c.silent) m.Answer(kHotfixTitle, IDOK);
        InstallHotfix(RunFlags{c.silent, false, false});
        EXPECT_EQ(LogEntry(std::to_string(n++)), std::string(c.logged));
        ASSERT_EQ(m.boxes.size(), boxes + (c.silent ? 0 : 1));
        if (!c.silent) {
            EXPECT_EQ(m.boxes.back().text, kHotfixText);
            EXPECT_EQ(m.boxes.back().style, static_cast<UINT>(MB_OK | MB_ICONWARNING | MB_TOPMOST));
        }
    }
}

TEST_F(PrerequisitesTest, NothingReportedWithoutAShortPath) {
    m.AddProgram(kXpHotfix);
    m.shortPathFails = true;
    InstallHotfix(RunFlags{});
    EXPECT_TRUE(m.started.empty());
    EXPECT_EQ(LogCount(), 0u);
}

}  // namespace
