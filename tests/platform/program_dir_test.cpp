#include "platform/program_dir.h"

#include "support/machine_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

class ProgramDirTest : public MachineTest {};

TEST_F(ProgramDirTest, ProgramDirectoryKeepsBlanks) {
    std::string dir;
    ASSERT_TRUE(GetProgramDirectory(dir));
    EXPECT_EQ(dir, "C:\\Kestrup Setup\\");
}

TEST_F(ProgramDirTest, ModulePathThatDoesNotFitIsRefused) {
    m.modulePath = "C:\\" + std::string(250, 'd') + "\\kestrup.exe";
    std::string path = "unchanged", dir = "unchanged";
    EXPECT_FALSE(GetModulePath(path));
    EXPECT_EQ(path, "unchanged");
    EXPECT_FALSE(GetProgramDirectory(dir));
    EXPECT_EQ(dir, "unchanged");
}

TEST_F(ProgramDirTest, SystemDirectory) {
    std::string dir = "x";
    ASSERT_TRUE(GetSystemDir(dir));
    EXPECT_EQ(dir, "C:\\WINDOWS\\system32");
}

TEST_F(ProgramDirTest, FileExistsJudgesFilesNotDirectories) {
    m.AddFile("C:\\Data\\a.txt");
    m.AddFile("C:\\Data\\Hidden.sys", "", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY);
    m.AddDirectory("C:\\Data\\Sub");
    m.AddDirectory("C:\\OnlyDirs\\One");
    m.AddDirectory("C:\\OnlyDirs\\Two");
    m.AddDirectory("C:\\Mixed\\aa");
    m.AddFile("C:\\Mixed\\ab");
    struct Case {
        const char* path;
        bool expected;
    } cases[] = {
        // One row a line, with their comments.
        // clang-format off
        {"C:\\Data\\a.txt", true},
        {"C:\\Data\\A.TXT", true},
        {"C:\\Data\\Hidden.sys", true},
        {"C:\\Data\\Sub", false},
        {"C:\\Data\\missing", false},
        {"C:\\Nowhere\\x", false},
        {"C:\\OnlyDirs\\*", false},  // ".", ".." and two folders
        {"C:\\Data\\*", true},
        {"C:\\Mixed\\a*", true},   // a file after a folder
        {"C:\\Mixed\\a?", false},  // no asterisk: the first match, a folder, decides
        // clang-format on
    };
    for (const Case& c : cases) EXPECT_EQ(FileExists(c.path), c.expected) << c.path;
    m.SetVersion(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222);  // Windows 98: FindFirstFileW is a stub there
    for (const Case& c : cases) EXPECT_EQ(FileExists(c.path), c.expected) << "Windows 98: " << c.path;
}

TEST_F(ProgramDirTest, FileExistsWithAccentedName) {
    // The literal is split only to end the \x escape.
    // clang-format off
    m.AddFile("C:\\Donn\xe9" "es\\f.txt");
    EXPECT_TRUE(FileExists("C:\\Donn\xe9" "es\\f.txt"));
    // clang-format on
}

}  // namespace
