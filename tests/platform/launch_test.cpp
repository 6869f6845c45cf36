#include "platform/launch.h"

#include "support/machine_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

class LaunchTest : public MachineTest {};

TEST_F(LaunchTest, StartsInANormalWindowAndWaitsOnRequest) {
    m.AddProgram("C:\\Tools\\setup.exe", {42});
    std::string error = "stale";
    EXPECT_TRUE(RunCommand("C:\\Tools\\setup.exe /quiet", true, error));  // the exit code is not read
    EXPECT_EQ(error, "");
    ASSERT_EQ(m.started.size(), 1u);
    const winsim::ProcessStart& s = m.started[0];
    EXPECT_TRUE(s.wide);
    EXPECT_EQ(s.application, "C:\\Tools\\setup.exe");
    EXPECT_EQ(s.commandLine, "C:\\Tools\\setup.exe /quiet");
    EXPECT_EQ(s.startupFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(s.showWindow, SW_SHOWNORMAL);
    EXPECT_FALSE(s.inheritHandles);
    EXPECT_EQ(s.creationFlags, 0u);
    EXPECT_TRUE(s.environmentInherited);
    EXPECT_EQ(m.CallCount("WaitForSingleObject"), 1);

    EXPECT_TRUE(RunCommand("C:\\Tools\\setup.exe", false, error));
    EXPECT_EQ(m.CallCount("WaitForSingleObject"), 1);

    m.SetVersion(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222);  // Windows 98: CreateProcessW is a stub there
    EXPECT_TRUE(RunCommand("C:\\Tools\\setup.exe /quiet", true, error)) << error;
    ASSERT_EQ(m.started.size(), 3u);
    EXPECT_FALSE(m.started[2].wide);
    EXPECT_EQ(m.started[2].commandLine, "C:\\Tools\\setup.exe /quiet");
    EXPECT_EQ(m.started[2].showWindow, SW_SHOWNORMAL);
}

TEST_F(LaunchTest, FailureTextIsOneLine) {
    m.systemMessages[5] = "Acc\xe8s refus\xe9.\r\n";  // a system text in a language with accents
    m.AddProgram("C:\\Tools\\denied.exe", {0, ERROR_ACCESS_DENIED});
    m.AddProgram("C:\\Tools\\odd.exe", {0, 1234});
    m.AddProgram("C:\\Tools\\hresult.exe", {0, 0x80070005u});
    m.AddProgram(m.currentDirectory + "\\Tools\\setup.exe");  // Windows would start it from the current folder
    struct Case {
        std::string command, expected;
    } cases[] = {
        {"C:\\Tools\\missing.exe /x",
         "Unable to run the program: C:\\Tools\\missing.exe /x Error Message: The system cannot find the file "
         "specified."},
        {"C:\\Tools\\denied.exe", "Unable to run the program: C:\\Tools\\denied.exe Error Message: Acc"},
        {"C:\\Tools\\odd.exe", "Unable to run the program: C:\\Tools\\odd.exe Error Message: 1234"},
        {"C:\\Tools\\hresult.exe", "Unable to run the program: C:\\Tools\\hresult.exe Error Message: -2147024891"},
        {"", "Unable to run the program:  Error Message: The system cannot find the file specified."},
        {"Tools\\setup.exe /q",
         "Unable to run the program: Tools\\setup.exe /q Error Message: The system cannot find the file specified."},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(RunCommand(c.command, true, error)) << c.command;
        EXPECT_EQ(error, c.expected);
    }
    EXPECT_EQ(m.CallCount("WaitForSingleObject"), 0);
}

TEST_F(LaunchTest, OverlongCommandLineIsRefusedWhole) {
    std::string command = "C:\\Tools\\setup.exe " + std::string(5000, 'a');
    m.AddProgram("C:\\Tools\\setup.exe");
    std::string error;
    EXPECT_FALSE(RunCommand(command, true, error));
    EXPECT_TRUE(m.started.empty());
    EXPECT_TRUE(m.startFailures.empty());  // refused before Windows was asked
    EXPECT_EQ(error,
              "Unable to run the program: " + command + " Error Message: The filename or extension is too long.");
}

TEST_F(LaunchTest, UnquotedBlanksLetWindowsRunAPrefix) {
    // Why callers quote program paths with blanks: Windows tries each
    // blank-cut prefix of an unquoted command line as the program first.
    m.AddProgram("C:\\Kestrup Setup\\tool.exe");
    m.AddProgram("C:\\Kestrup.exe");
    std::string error;
    EXPECT_TRUE(RunCommand("C:\\Kestrup Setup\\tool.exe /q", true, error));
    EXPECT_EQ(m.started.back().program, "C:\\Kestrup.exe");
    EXPECT_TRUE(RunCommand("\"C:\\Kestrup Setup\\tool.exe\" /q", true, error));
    EXPECT_EQ(m.started.back().program, "C:\\Kestrup Setup\\tool.exe");
}

TEST_F(LaunchTest, RunHiddenAndWaitStartsHiddenWithoutAWindow) {
    m.AddProgram("C:\\tools\\x.exe", winsim::Program{7});
    EXPECT_TRUE(RunHiddenAndWait("\"C:\\tools\\x.exe\" -a"));
    ASSERT_EQ(m.started.size(), 1u);
    const winsim::ProcessStart& s = m.started[0];
    EXPECT_EQ(s.application, "C:\\tools\\x.exe");
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

}  // namespace
