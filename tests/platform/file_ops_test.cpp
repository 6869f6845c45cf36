#include "platform/file_ops.h"

#include "support/machine_fixture.h"

#include "platform/handles.h"
#include "platform/run_log.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kWininit[] = "C:\\WINDOWS\\WININIT.INI";

class FileOpsTest : public MachineTest {
protected:
    void UseWindows98() { m.SetVersion(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222); }
    void UseWindowsXp() { m.SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600, 2); }
};

TEST_F(FileOpsTest, CopyReplacesReadOnlyDestination) {
    m.AddFile("C:\\Data\\new.txt", "new");
    m.AddFile("C:\\Data\\old.txt", "old", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    std::string error = "stale";
    EXPECT_TRUE(CopyFileOver("C:\\Data\\new.txt", "C:\\Data\\old.txt", error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(m.FindFile("C:\\Data\\old.txt")->data, "new");
    EXPECT_FALSE(m.FindFile("C:\\Data\\old.txt")->attributes & FILE_ATTRIBUTE_READONLY);
}

TEST_F(FileOpsTest, CopyOfMissingSourceGivesTheSystemText) {
    std::string error;
    EXPECT_FALSE(CopyFileOver("C:\\Data\\missing.txt", "C:\\Data\\out.txt", error));
    EXPECT_EQ(error, "The system cannot find the file specified.");
    EXPECT_FALSE(m.FindFile("C:\\Data\\out.txt"));
}

TEST_F(FileOpsTest, DeleteOfReadOnlyFileNotInUseIsImmediate) {
    UseWindowsXp();
    m.AddFile("C:\\Data\\ro.txt", "x", FILE_ATTRIBUTE_READONLY);
    std::string error = "stale";
    bool deferred = true;
    EXPECT_TRUE(DeleteFileOrDefer("C:\\Data\\ro.txt", error, deferred));
    EXPECT_FALSE(deferred);
    EXPECT_EQ(error, "");
    EXPECT_FALSE(m.FindFile("C:\\Data\\ro.txt"));
    EXPECT_TRUE(m.delayedDeletions.empty());
}

TEST_F(FileOpsTest, FileInUseOnNtIsDeletedAtTheNextStart) {
    UseWindowsXp();
    m.AddFile("C:\\Data\\busy.txt", "x");
    FileHandle other(
        CreateFileA("C:\\Data\\busy.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(other);
    std::string error = "stale";
    bool deferred = false;
    EXPECT_TRUE(DeleteFileOrDefer("C:\\Data\\busy.txt", error, deferred));
    EXPECT_TRUE(deferred);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(m.FindFile("C:\\Data\\busy.txt"));
    EXPECT_EQ(m.delayedDeletions, std::vector<std::string>{"C:\\Data\\busy.txt"});
    EXPECT_FALSE(m.FindFile(kWininit));
}

TEST_F(FileOpsTest, RefusedDelayedDeletionOnNtGivesTheSystemText) {
    UseWindowsXp();
    m.moveFileExError = ERROR_ACCESS_DENIED;
    m.systemMessages[ERROR_ACCESS_DENIED] = "Access is denied.\r\n";
    std::string error;
    bool deferred = true;
    EXPECT_FALSE(DeleteFileOrDefer("C:\\Data\\missing.txt", error, deferred));
    EXPECT_FALSE(deferred);
    EXPECT_EQ(error, "Access is denied.");
}

TEST_F(FileOpsTest, Windows95FamilyWritesWininitOnceWithItsHeader) {
    UseWindows98();
    m.AddFile("C:\\Program Files\\Long Folder Name\\first.txt");
    m.AddFile("C:\\Data\\second.txt");
    std::string error;
    EXPECT_TRUE(ScheduleDeleteAtRestart("C:\\Program Files\\Long Folder Name\\first.txt", error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(m.FindFile(kWininit)->data, "[rename]\r\nNUL=C:\\PROGRA~1\\LONGFO~1\\first.txt\r\n");
    EXPECT_TRUE(ScheduleDeleteAtRestart("C:\\Data\\second.txt", error));
    EXPECT_EQ(m.FindFile(kWininit)->data,
              "[rename]\r\nNUL=C:\\PROGRA~1\\LONGFO~1\\first.txt\r\nNUL=C:\\Data\\second.txt\r\n");
    EXPECT_TRUE(m.delayedDeletions.empty());
}

TEST_F(FileOpsTest, Windows95FamilyPutsTheDeletionUnderRenameInAnExistingWininit) {
    UseWindows98();
    // Windows reads "NUL=" lines only under [rename]; the rest of the file stays byte for byte.
    const struct {
        const char* before;
        const char* after;
    } rows[] = {
        {"[rename]\r\nNUL=C:\\OLD.TMP\r\n", "[rename]\r\nNUL=C:\\OLD.TMP\r\nNUL=C:\\Gone\\file.txt\r\n"},
        {"[rename]\r\nNUL=C:\\OLD.TMP", "[rename]\r\nNUL=C:\\OLD.TMP\r\nNUL=C:\\Gone\\file.txt\r\n"},
        {"[rename]\r\nNUL=C:\\OLD.TMP\r\n[other]\r\nx=1\r\n",
         "[rename]\r\nNUL=C:\\OLD.TMP\r\nNUL=C:\\Gone\\file.txt\r\n[other]\r\nx=1\r\n"},
        {"[first]\na=1\n [RENAME] \nNUL=C:\\OLD.TMP\n[last]\nb=2",
         "[first]\na=1\n [RENAME] \nNUL=C:\\OLD.TMP\nNUL=C:\\Gone\\file.txt\r\n[last]\nb=2"},
        {"[other]\r\nx=1", "[other]\r\nx=1\r\n[rename]\r\nNUL=C:\\Gone\\file.txt\r\n"},
        {"; no section\r\n", "; no section\r\n[rename]\r\nNUL=C:\\Gone\\file.txt\r\n"},
        {"", "[rename]\r\nNUL=C:\\Gone\\file.txt\r\n"},
    };
    ForEachRow(rows, [&](const auto& row) {
        UseWindows98();
        m.AddFile(kWininit, row.before);
        std::string error;
        bool deferred = false;
        // A path with no short form is written as it is.
        EXPECT_TRUE(DeleteFileOrDefer("C:\\Gone\\file.txt", error, deferred));
        EXPECT_TRUE(deferred);
        EXPECT_EQ(m.FindFile(kWininit)->data, row.after);
    });
    // An entry of 259 characters still fits the line.
    const std::string longest = "C:\\" + std::string(MAX_PATH - 8, 'x');
    std::string error;
    EXPECT_TRUE(ScheduleDeleteAtRestart(longest, error));
    EXPECT_EQ(m.FindFile(kWininit)->data.substr(m.FindFile(kWininit)->data.size() - longest.size() - 6),
              "NUL=" + longest + "\r\n");
}

TEST_F(FileOpsTest, WininitThatCannotBeWrittenIsReported) {
    UseWindows98();
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string path = "C:\\Data\\x.txt";
    } cases[] = {
        {"cannot be created", [&] { m.windowsDirectory = "C:\\NoSuchFolder"; }},
        {"read-only", [&] { m.AddFile(kWininit, "[rename]\r\n", FILE_ATTRIBUTE_READONLY); }},
        {"disk full", [&] { m.diskSpace = 4; }},
        {"flush fails on appending",
         [&] {
             m.AddFile(kWininit, "[rename]\r\n");
             m.flushFails = true;
         }},
        // "NUL=" and the path make 260 characters: one more than the line Windows reads.
        {"entry one character too long", [] {}, "C:\\" + std::string(MAX_PATH - 7, 'x')},
    };
    for (const Case& c : cases) {
        c.arrange();
        std::string error;
        EXPECT_FALSE(ScheduleDeleteAtRestart(c.path, error)) << c.what;
        EXPECT_EQ(error, "Unable to write to file: " + m.windowsDirectory + "\\WININIT.INI to WININIT.INI") << c.what;
        m.windowsDirectory = "C:\\WINDOWS";
        m.diskSpace = -1;
        m.flushFails = false;
        m.RemoveFile(kWininit);
    }
}

TEST_F(FileOpsTest, WindowsDirectoryWithoutTrailingBackslash) {
    std::string directory = "x";
    EXPECT_TRUE(WindowsDirectory(directory));
    EXPECT_EQ(directory, "C:\\WINDOWS");
    m.windowsDirectory = "C:\\" + std::string(MAX_PATH, 'w');
    EXPECT_FALSE(WindowsDirectory(directory));
    EXPECT_EQ(directory, "");
}

}  // namespace

TEST_F(FileOpsTest, RunLogStaysWithinItsBoundAndSaysWhatItDropped) {
    const std::string path = "C:\\WINDOWS\\Logs\\Kestrup\\kestrup-20261207-214500.log";
    {
        kestrup::RunLog log;
        const std::string line(999, 'x');
        for (int i = 0; i < 1100; ++i) kestrup::WriteRunLog(line);
        kestrup::WriteRunLog("short, but after a dropped line");
    }
    const std::string& data = m.FindFile(path)->data;
    EXPECT_LE(data.size(), kestrup::kRunLogLimit);
    const size_t at = data.rfind("\r\n", data.size() - 3);
    // Lines of 1010 bytes with the time: 1038 fit, 63 and the short one do not.
    EXPECT_EQ(data.substr(at + 2, 4), "64 m") << data.substr(at);
    EXPECT_NE(data.find("bytes) dropped: the log is kept within 1 MB\r\n", at), std::string::npos);
    EXPECT_EQ(data.find("short, but"), std::string::npos);
}
