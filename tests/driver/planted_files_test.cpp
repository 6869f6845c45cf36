// Nothing planted in the program's folder or the current folder, nor another
// product's library planted in a PATH folder, is loaded or run, on any Windows
// the installer supports.
#include "driver/engine_update.h"
#include "driver/package.h"
#include "identity/principal.h"
#include "platform/account.h"
#include "platform/hardening.h"
#include "platform/launch.h"
#include "platform/processes.h"
#include "removal/earlier_software.h"

#include "support/machine_fixture.h"

#include <functional>
#include <utility>
#include <vector>

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kCurrentDir[] = "C:\\Documents and Settings\\alice\\My Documents\\Downloads\\";
constexpr char kPathDir[] = "C:\\Program Files\\Kerberos Client\\";
constexpr char kKerberosBin[] = "C:\\Program Files\\MIT\\Kerberos\\bin\\";
constexpr char kAfsFolder[] = "C:\\Program Files\\Marlo\\";
constexpr char kAfsCode[] = "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";

int g_realCalls = 0;
int g_plantedCalls = 0;
int RealKCGetUserName(char* name) {
    ++g_realCalls;
    name[0] = 'a', name[1] = '\0';
    return 1;
}
void WINAPI RealLoopback() { ++g_realCalls; }
void WINAPI Planted() { ++g_plantedCalls; }

class PlantedFilesTest : public MachineTest {
public:  // the helpers are also called from table lambdas
    using MachineTest::AddKerberosPackage;
    void Furnish() override {
        g_realCalls = g_plantedCalls = 0;
        m.currentDirectory = std::string(kCurrentDir).substr(0, sizeof kCurrentDir - 2);
        m.SetEnv("PATH", m.systemDirectory + ";" + kPathDir);
    }
    // A file of that name, exporting everything the real one does, pointing at Planted.
    void Plant(const std::string& folder, const std::string& name) {
        std::map<std::string, FARPROC> exports;
        for (const char* e : {"GetFileVersionInfoSizeA", "GetFileVersionInfoA", "VerQueryValueA", "WNetGetUserA",
                              "WNetGetUserW", "MsiEnableLogA", "EnumProcesses", "KCGetUserName", "UnInstallLoopBack"})
            exports[e] = reinterpret_cast<FARPROC>(&Planted);
        m.AddLibrary(folder + name, exports);
        for (WORD ordinal : {87, 141, 189})
            m.libraries[folder + name].ordinals[ordinal] = reinterpret_cast<FARPROC>(&Planted);
        m.AddProgram(folder + name);
    }
    bool Loaded(const std::string& path) {
        for (const winsim::LibraryRequest& r : m.libraryRequests)
            if (winsim::UpperAscii(r.loaded) == winsim::UpperAscii(path)) return true;
        return false;
    }
};

TEST_F(PlantedFilesTest, PlantedLibrariesAndProgramsAreNeverUsed) {
    const std::string system = m.systemDirectory + "\\";
    struct Case {
        const char* name;
        std::string real;  // where the one that must be used lives
        bool onPath;       // also planted in a PATH folder, which Windows searches for it
        std::function<void(PlantedFilesTest&, Machine&)> act;
    } cases[] = {
        {"version.dll", system + "version.dll", false,
         [](PlantedFilesTest&, Machine& m) { GetFileVersion(m.systemDirectory + "\\msiexec.exe"); }},
        {"mpr.dll", system + "mpr.dll", false,
         [](PlantedFilesTest&, Machine&) {
             std::string user, domain;
             EXPECT_TRUE(GetUserAndDomain(user, domain));
         }},
        {"psapi.dll", system + "psapi.dll", false,
         [](PlantedFilesTest&, Machine& m) {
             m.missingKernelFunctions.insert("CreateToolhelp32Snapshot");  // NT 4: psapi's way
             IsProcessRunning("firefox.exe");
         }},
        {"msi.dll", system + "msi.dll", false,
         [](PlantedFilesTest& t, Machine&) {
             t.AddKerberosPackage();
             std::string message;
             EXPECT_TRUE(InstallKerberosPackage(RunFlags{true, true, false}, message)) << message;
         }},
        {"Kclnt32.dll", std::string(kKerberosBin) + "Kclnt32.dll", true,
         [](PlantedFilesTest&, Machine& m) {
             m.SetString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos\\Client\\CurrentVersion", "PathName",
                         "C:\\Program Files\\MIT\\Kerberos");
             m.AddLibrary(std::string(kKerberosBin) + "Kclnt32.dll",
                          {{"KCGetUserName", reinterpret_cast<FARPROC>(&RealKCGetUserName)}});
             std::string name;
             EXPECT_TRUE(GetKclntUserName(name));
             EXPECT_EQ(g_realCalls, 1);
         }},
        {"afsloopback.dll", std::string(kAfsFolder) + "afsloopback.dll", true,
         [](PlantedFilesTest&, Machine& m) {
             m.AddLibrary(std::string(kAfsFolder) + "afsloopback.dll",
                          {{"UnInstallLoopBack", reinterpret_cast<FARPROC>(&RealLoopback)}});
             m.SetString(HKEY_LOCAL_MACHINE, std::string(kUninstallRoot) + "\\" + kAfsCode, "DisplayName",
                         "QV-OpenAFS 1.5");
             m.SetString(HKEY_LOCAL_MACHINE, std::string(kUninstallRoot) + "\\" + kAfsCode, "InstallLocation",
                         kAfsFolder);
             m.AddPackage(kAfsCode, {0, [&m] { m.FindKey(HKEY_LOCAL_MACHINE, kUninstallRoot)->subkeys.clear(); }});
             m.RemoveFile(kAfsCode);
             std::string key = kAfsCode;
             EXPECT_TRUE(RemoveAfsPackage(key, true));
             EXPECT_EQ(g_realCalls, 1);
             m.ReleaseLoadedLibraries();
         }},
        {"MsiExec.exe", system + "MsiExec.exe", false,
         [](PlantedFilesTest&, Machine& m) {
             m.AddProgram(m.systemDirectory + "\\MsiExec.exe");
             std::string error;
             EXPECT_TRUE(RunCommand(std::string("MsiExec.exe /X") + kAfsCode, true, error)) << error;
             ASSERT_EQ(m.started.size(), 1u);
             EXPECT_EQ(m.started[0].program, m.systemDirectory + "\\MsiExec.exe");
             EXPECT_EQ(m.started[0].commandLine, std::string("MsiExec.exe /X") + kAfsCode);  // as written
         }},
    };
    std::vector<std::pair<const Case*, std::string>> rows;
    for (const Case& c : cases)
        for (const std::string folder : {std::string(kProgramDir), std::string(kCurrentDir), std::string(kPathDir)})
            if (c.onPath || folder != kPathDir) rows.push_back({&c, folder});
    ForEachRow(rows, [&](const std::pair<const Case*, std::string>& row) {
        const Case& c = *row.first;
        const std::string& folder = row.second;
        SCOPED_TRACE(std::string(c.name) + " planted in " + folder);
        Plant(folder, c.name);
        c.act(*this, m);
        EXPECT_FALSE(Loaded(folder + c.name));
        for (const winsim::ProcessStart& s : m.started) EXPECT_NE(s.program, folder + c.name);
        EXPECT_EQ(g_plantedCalls, 0);
        if (std::string(c.name) != "MsiExec.exe") EXPECT_TRUE(Loaded(c.real));
    });
    FreshMachine();
    // Windows' own search would have taken the planted ones: the table can fail.
    Plant(kProgramDir, "version.dll");
    HMODULE planted = LoadLibraryA("version.dll");
    EXPECT_TRUE(Loaded(std::string(kProgramDir) + "version.dll"));
    FreeLibrary(planted);
    Plant(kCurrentDir, "MsiExec.exe");
    m.AddProgram(m.systemDirectory + "\\MsiExec.exe");
    EXPECT_EQ(m.ResolveProgram("", "MsiExec.exe /X"), std::string(kCurrentDir) + "MsiExec.exe");
}

TEST_F(PlantedFilesTest, HardeningOnEveryWindows) {
    struct Case {
        const char* windows;
        std::set<std::string> missing;
        bool programFolderStillSearched;  // only SetDefaultDllDirectories takes it out
    } cases[] = {
        {"Windows 8 and later, or 7 with KB2533623", {}, false},
        {"Windows 7 without KB2533623", {"SetDefaultDllDirectories"}, true},
        {"XP SP2", {"SetDefaultDllDirectories", "SetSearchPathMode", "SetProcessDEPPolicy"}, true},
    };
    ForEachRow(cases, [&](const Case& c) {
        SCOPED_TRACE(c.windows);
        Plant(kCurrentDir, "planted.dll");
        Plant(kProgramDir, "beside.dll");
        m.missingKernelFunctions = c.missing;
        HardenProcess();
        EXPECT_TRUE(m.heapTerminationOnCorruption);
        EXPECT_EQ(m.depPolicy, c.missing.count("SetProcessDEPPolicy") ? 0u : 1u);
        EXPECT_EQ(m.searchPathMode, c.missing.count("SetSearchPathMode") ? 0u : 0x8001u);
        EXPECT_EQ(LoadLibraryA("planted.dll"), nullptr);  // the current folder is never searched
        HMODULE beside = LoadLibraryA("beside.dll");
        EXPECT_EQ(beside != nullptr, c.programFolderStillSearched);
        if (beside) FreeLibrary(beside);
    });
}

}  // namespace
