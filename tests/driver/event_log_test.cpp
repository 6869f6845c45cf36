#include "driver/event_log.h"

#include "support/machine_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kLog[] = "Software\\Halvern\\Kestrup\\InstallerLog";

class EventLogTest : public MachineTest {
protected:
    void Fill(int from, int to) {
        for (int n = from; n <= to; ++n) m.SetString(HKEY_LOCAL_MACHINE, kLog, std::to_string(n), "old");
    }
};

TEST_F(EventLogTest, FirstMessageCreatesTheKeyAsZero) {
    ASSERT_EQ(m.FindKey(HKEY_LOCAL_MACHINE, kLog), nullptr);
    EXPECT_TRUE(LogInstallerEvent("first\n\nline"));
    EXPECT_EQ(LogEntry("0"), "first\n\nline");  // line feeds are stored as they are
    EXPECT_EQ(m.GetValue(HKEY_LOCAL_MACHINE, kLog, "0")->type, static_cast<DWORD>(REG_SZ));
    // The program is 32-bit: the log lives in the 32-bit view.
    EXPECT_NE(m.FindKey(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\Halvern\\Kestrup\\InstallerLog", View::k64),
              nullptr);
}

TEST_F(EventLogTest, SlotChoice) {
    struct Case {
        const char* what;
        std::vector<std::string> existing;
        int slot;
    } cases[] = {
        {"empty key", {}, 0},
        {"0 to 12", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"}, 13},
        {"13 contains 3", {"0", "1", "2", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13"}, 14},
        {"gap", {"0", "2"}, 1},
        {"name holds digits", {"x0y", "entry1", "12"}, 3},
        {"05 holds 5 but 05 is no number", {"0", "1", "2", "3", "4", "05", "6"}, 7},
        {"005 holds no 50",
         {"0",  "1",  "2",  "3",  "4",  "005", "6",  "7",  "8",  "9",  "10", "11", "12", "13", "14", "15", "16",
          "17", "18", "19", "20", "21", "22",  "23", "24", "25", "26", "27", "28", "29", "30", "31", "32", "33",
          "34", "35", "36", "37", "38", "39",  "40", "41", "42", "43", "44", "45", "46", "47", "48", "49"},
         50},
        {"long digit run", {"98765"}, 0},
        {"three digits inside", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "a100b"}, 11},
    };
    ForEachRow(cases, [&](const Case& c) {
        m.CreateKey(HKEY_LOCAL_MACHINE, kLog);
        for (const std::string& name : c.existing) m.SetString(HKEY_LOCAL_MACHINE, kLog, name, "old");
        EXPECT_EQ(NextInstallerLogSlot(), c.slot) << c.what;
    });
}

TEST_F(EventLogTest, SlotMatchesTheOneByOneSearch) {
    // Against the straightforward rule on awkward names: a number is taken when
    // its text occurs anywhere in a name.
    std::vector<std::string> names = {"7", "x17x", "170", "a0", "9x99", "999", "1000", "31", "4", "2", "5", "6", "8"};
    for (auto& n : names) m.SetString(HKEY_LOCAL_MACHINE, kLog, n, "v");
    int expected = 999;
    for (int n = 0; n < 1000; ++n) {
        bool taken = false;
        for (auto& name : names) taken |= name.find(std::to_string(n)) != std::string::npos;
        if (!taken) {
            expected = n;
            break;
        }
    }
    EXPECT_EQ(NextInstallerLogSlot(), expected);
}

TEST_F(EventLogTest, FullLogOverwrites999AndReadsTheNamesOnce) {
    Fill(0, 999);
    m.calls.clear();
    EXPECT_TRUE(LogInstallerEvent("newest"));
    EXPECT_EQ(LogEntry("999"), "newest");
    EXPECT_EQ(LogCount(), 1000u);
    // One pass over the names (1000 values, one end-of-list answer) plus the
    // open, create, set and closes: not a search per candidate number.
    EXPECT_EQ(m.CallCount("RegEnumValueA"), 1001);
    EXPECT_LE(m.RegistryCallCount(), 1010);
}

TEST_F(EventLogTest, FailedWriteIsReportedByResultOnly) {
    m.CreateKey(HKEY_LOCAL_MACHINE, kLog).denyWrite = true;
    EXPECT_FALSE(LogInstallerEvent("lost"));
    EXPECT_EQ(LogCount(), 0u);
}

}  // namespace
