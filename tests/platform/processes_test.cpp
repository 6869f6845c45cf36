#include "platform/processes.h"

#include "support/machine_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

class ProcessesTest : public MachineTest {
protected:
    void AddProcess(const std::string& exe, bool accessDenied = false) {
        m.processes.push_back({static_cast<DWORD>(100 + m.processes.size() * 4), "C:\\Apps\\" + exe, accessDenied});
    }
};

TEST_F(ProcessesTest, ProcessNamesMatchWhole) {
    AddProcess("System");
    AddProcess("myfirefox.exe");
    AddProcess("firefox.exe.bak");
    AddProcess("FIREFOX.EXE", true);  // cannot be opened: Toolhelp counts it, NT 4's way cannot
    EXPECT_TRUE(IsProcessRunning("firefox.exe"));
    m.missingKernelFunctions.insert("CreateToolhelp32Snapshot");
    EXPECT_FALSE(IsProcessRunning("firefox.exe"));
    AddProcess("FireFox.EXE");
    EXPECT_TRUE(IsProcessRunning("firefox.exe"));
    EXPECT_FALSE(IsProcessRunning("iexplore.exe"));
}

TEST_F(ProcessesTest, OnlyTheFirst2048ProcessesAreExamined) {
    for (int i = 0; i < 2048; ++i) AddProcess("svc" + std::to_string(i) + ".exe");
    AddProcess("firefox.exe");
    EXPECT_FALSE(IsProcessRunning("firefox.exe"));
    m.processes.erase(m.processes.begin());
    EXPECT_TRUE(IsProcessRunning("firefox.exe"));
}

}  // namespace
