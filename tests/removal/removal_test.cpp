#include "removal/earlier_software.h"

#include "platform/run_log.h"
#include "support/machine_fixture.h"

#include <winnetwk.h>

#include <algorithm>

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kTesselCode[] = "{11111111-2222-3333-4444-555555555555}";
constexpr char kAfsCode[] = "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";
constexpr char kLoopback[] = "C:\\WINDOWS\\system32\\afsloopback.dll";

int g_loopbackCalls = 0;
void WINAPI UnInstallLoopBackStub() { ++g_loopbackCalls; }

class RemovalTest : public MachineTest {
protected:
    RemovalTest() { g_loopbackCalls = 0; }

    std::string EntryPath(const std::string& key) { return std::string(kUninstallRoot) + "\\" + key; }

    void AddEntry(const std::string& key, const std::string& displayName, View view = View::k32) {
        m.SetString(HKEY_LOCAL_MACHINE, EntryPath(key), "DisplayName", displayName, view);
    }
    void RemoveEntry(const std::string& key) { m.FindKey(HKEY_LOCAL_MACHINE, kUninstallRoot)->subkeys.erase(key); }
    bool HasEntry(const std::string& key) { return m.FindKey(HKEY_LOCAL_MACHINE, EntryPath(key)) != nullptr; }

    // A Windows Installer product whose removal answers result and, on success, takes its entry.
    void AddProduct(const std::string& code, const std::string& displayName, UINT result = 0) {
        AddEntry(code, displayName);
        m.SetString(HKEY_LOCAL_MACHINE, EntryPath(code), "UninstallString", "MsiExec.exe /I" + code);
        m.AddPackage(code, {result, [this, code] { RemoveEntry(code); }});
        m.RemoveFile(code);  // a product code is no file
    }
    // An entry with its own uninstaller, which removes the entry unless told not to.
    void AddUninstaller(const std::string& key, const std::string& displayName, bool removesEntry = true) {
        AddEntry(key, displayName);
        const std::string program = "C:\\Program Files\\" + key + "\\uninst.exe";
        m.SetString(HKEY_LOCAL_MACHINE, EntryPath(key), "UninstallString", "\"" + program + "\" /S");
        m.AddProgram(program, {0, 0, [this, key, removesEntry](const winsim::ProcessStart&) {
                                   if (removesEntry) RemoveEntry(key);
                               }});
    }
    void AddLoopback() {
        m.AddLibrary(kLoopback, {{"UnInstallLoopBack", reinterpret_cast<FARPROC>(&UnInstallLoopBackStub)}});
    }
};

TEST_F(RemovalTest, DisplayNamesMustBeginWithThePattern) {
    AddEntry("A", "Old PC-Tessel");  // the pattern later in the name
    AddEntry("B", "Some tool");
    AddEntry("C", "pc-TESSEL 2.0");                         // capitals do not matter
    AddEntry("D", "PC-Tessel 3.0");                         // a later match loses
    m.CreateKey(HKEY_LOCAL_MACHINE, EntryPath("0NoName"));  // no DisplayName: skipped
    std::string key;
    EXPECT_TRUE(FindTesselPackage(key));
    EXPECT_EQ(key, "C");
}

TEST_F(RemovalTest, AfsPatternOrderBeatsEnumerationOrder) {
    AddEntry("A1", "PC-Marlo");
    AddEntry("A2", "Marlo Client 1.0");
    AddEntry("A3", "QV-OpenAFS 1.4");
    std::string key;
    EXPECT_TRUE(FindAfsPackage(key));
    EXPECT_EQ(key, "A3");
    RemoveEntry("A3");
    EXPECT_TRUE(FindAfsPackage(key));
    EXPECT_EQ(key, "A2");
    RemoveEntry("A2");
    EXPECT_TRUE(FindAfsPackage(key));
    EXPECT_EQ(key, "A1");
}

TEST_F(RemovalTest, OverlongSubkeyNameIsSkippedAndTheSearchGoesOn) {
    AddEntry(std::string(255, 'a'), "PC-Tessel long");
    AddEntry(std::string(254, 'b'), "PC-Tessel fits");
    std::string key;
    EXPECT_TRUE(FindTesselPackage(key));
    EXPECT_EQ(key, std::string(254, 'b'));
}

TEST_F(RemovalTest, BothSearchesAlwaysRun) {
    std::string tessel, afs;
    EXPECT_FALSE(FindEarlierSoftware(tessel, afs));
    EXPECT_EQ(tessel + afs, "");
    AddEntry(kAfsCode, "QV-OpenAFS 1.5");
    EXPECT_TRUE(FindEarlierSoftware(tessel, afs));
    EXPECT_EQ(tessel, "");
    EXPECT_EQ(afs, kAfsCode);
    AddEntry("PCTessel", "PC-Tessel");
    EXPECT_TRUE(FindEarlierSoftware(tessel, afs));
    EXPECT_EQ(tessel, "PCTessel");
    EXPECT_EQ(afs, kAfsCode);
    // Into empty names, as the run asks: neither search may be skipped when the other finds.
    std::string bothTessel, bothAfs, onlyTessel, onlyAfs;
    EXPECT_TRUE(FindEarlierSoftware(bothTessel, bothAfs));
    EXPECT_EQ(bothTessel + " " + bothAfs, std::string("PCTessel ") + kAfsCode);
    RemoveEntry(kAfsCode);
    EXPECT_TRUE(FindEarlierSoftware(onlyTessel, onlyAfs));
    EXPECT_EQ(onlyTessel + " " + onlyAfs, "PCTessel ");
}

TEST_F(RemovalTest, TheSixtyFourBitViewIsSearchedWhereWindowsIs64Bit) {
    AddEntry("X", "PC-Tessel", View::k64);
    std::string key;
    EXPECT_TRUE(FindTesselPackage(key));
    EXPECT_EQ(key, "X");
    key.clear();
    m.missingKernelFunctions.insert("IsWow64Process");  // XP before SP2 cannot tell: the plain view only
    EXPECT_FALSE(FindTesselPackage(key));
    m.CreateKey(HKEY_LOCAL_MACHINE, kUninstallRoot).denyRead = true;
    AddEntry("Y", "PC-Tessel");
    EXPECT_FALSE(FindTesselPackage(key));
    EXPECT_EQ(key, "");
}

TEST_F(RemovalTest, TesselProductRemovedByWindowsInstallerNeedsNoRestart) {
    AddProduct(kTesselCode, "PC-Tessel 2.0");
    for (bool reallySilent : {false, true}) {
        AddProduct(kTesselCode, "PC-Tessel 2.0");
        const RunLog log;  // the run's, the second taking the next name
        bool done = false;
        std::string afs;
        EXPECT_FALSE(RemoveEarlierSoftware(kTesselCode, afs, done, reallySilent));
        EXPECT_TRUE(done);
        const winsim::InstallerCall& call = m.installerCalls.back();
        EXPECT_EQ(call.function, "MsiConfigureProductExA");
        EXPECT_EQ(call.target, kTesselCode);
        EXPECT_EQ(call.installLevel, 0);
        EXPECT_EQ(call.installState, INSTALLSTATE_ABSENT);
        EXPECT_EQ(call.properties, "REBOOT=REALLYSUPPRESS");
        EXPECT_EQ(call.uiLevel, reallySilent ? 2 : 67);
        // Windows Installer's own log of the removal, beside the run's.
        EXPECT_EQ(call.logFile, std::string("C:\\WINDOWS\\Logs\\Kestrup\\kestrup-20261207-214500") +
                                    (reallySilent ? "-1" : "") + ".remove-" + kTesselCode + ".log");
    }
    EXPECT_TRUE(m.started.empty());
}

TEST_F(RemovalTest, TesselUninstallerRunAndWaitedFor) {
    // Its quiet command only when really silent.
    for (bool reallySilent : {false, true}) {
        AddUninstaller("PCTessel", "PC-Tessel 2.0");
        m.SetString(HKEY_LOCAL_MACHINE, EntryPath("PCTessel"), "QuietUninstallString", "C:\\PCT\\uninst.exe /quiet");
        m.AddProgram("C:\\PCT\\uninst.exe", {0, 0, [this](const winsim::ProcessStart&) { RemoveEntry("PCTessel"); }});
        bool done = false;
        std::string afs;
        EXPECT_TRUE(RemoveEarlierSoftware("PCTessel", afs, done, reallySilent));
        EXPECT_TRUE(done);
        ASSERT_EQ(m.started.size(), reallySilent ? 2u : 1u);
        EXPECT_EQ(m.started.back().commandLine,
                  reallySilent ? "C:\\PCT\\uninst.exe /quiet" : "\"C:\\Program Files\\PCTessel\\uninst.exe\" /S");
    }
    EXPECT_EQ(m.CallCount("WaitForSingleObject"), 2);
}

TEST_F(RemovalTest, PackageStillListedMeansNotDone) {
    AddUninstaller("PCTessel", "PC-Tessel 2.0", false);
    AddProduct(kAfsCode, "QV-OpenAFS", 0);
    bool done = false;
    std::string afs = kAfsCode;
    EXPECT_FALSE(RemoveEarlierSoftware("PCTessel", afs, done, false));
    EXPECT_FALSE(done);
    m.ReleaseLoadedLibraries();
}

TEST_F(RemovalTest, EntryWithoutUninstallStringFailsQuietly) {
    AddEntry("PCTessel", "PC-Tessel 2.0");
    bool done = false;
    std::string afs;
    EXPECT_FALSE(RemoveEarlierSoftware("PCTessel", afs, done, false));
    EXPECT_FALSE(done);
    EXPECT_TRUE(m.started.empty());
}

TEST_F(RemovalTest, AfsProductDrivesLoopbackAndRestart) {
    AddProduct(kAfsCode, "QV-OpenAFS 1.5");
    AddLoopback();
    m.drives['E'] = {DRIVE_REMOVABLE, ""};
    m.drives['H'] = {DRIVE_REMOTE, "\\\\AFS\\ir.halvern.edu\\usr\\alice"};
    m.drives['I'] = {DRIVE_REMOTE, "\\\\fileserver\\share"};
    m.drives['J'] = {DRIVE_REMOTE, "\\\\afsx\\other"};
    // Remembered but not connected: Windows answers ERROR_CONNECTION_UNAVAIL with the name.
    m.drives['K'] = {DRIVE_REMOTE, "\\\\afs\\ir.halvern.edu\\proj", false, true};
    bool cancelledBeforeRemoval = false;
    m.Packages()[kAfsCode].install = [this, &cancelledBeforeRemoval] {
        cancelledBeforeRemoval = !m.connectionCancels.empty();
        RemoveEntry(kAfsCode);
    };
    bool done = false;
    std::string afs = kAfsCode;
    EXPECT_TRUE(RemoveEarlierSoftware("", afs, done, true));
    EXPECT_TRUE(done);
    EXPECT_TRUE(cancelledBeforeRemoval);
    ASSERT_EQ(m.connectionCancels.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(m.connectionCancels[i].name, i == 0 ? "H:" : "K:");
        EXPECT_EQ(m.connectionCancels[i].flags, static_cast<DWORD>(CONNECT_UPDATE_PROFILE));
        EXPECT_FALSE(m.connectionCancels[i].force);
    }
    EXPECT_FALSE(m.drives.count('K'));                                   // no longer remembered
    EXPECT_EQ(m.driveQueries, (std::vector<char>{'H', 'I', 'J', 'K'}));  // local and removable drives never asked
    EXPECT_EQ(g_loopbackCalls, 1);
    EXPECT_EQ(std::count(m.libraryLoads.begin(), m.libraryLoads.end(), kLoopback), 1);
    EXPECT_EQ(m.ReleaseLoadedLibraries(), 1);  // left loaded on purpose
}

TEST_F(RemovalTest, AfsProductAnswering3010IsAnError) {
    AddProduct(kAfsCode, "QV-OpenAFS 1.5", 3010);
    AddLoopback();
    bool done = false;
    std::string afs = kAfsCode;
    EXPECT_FALSE(RemoveEarlierSoftware("", afs, done, false));
    EXPECT_TRUE(done);  // the entry went all the same
    EXPECT_EQ(g_loopbackCalls, 0);
    EXPECT_EQ(std::count(m.libraryLoads.begin(), m.libraryLoads.end(), kLoopback), 0);
}

TEST_F(RemovalTest, AfsWithoutLoopbackLibraryStillCounts) {
    AddProduct(kAfsCode, "QV-OpenAFS 1.5");
    m.AddLibrary(kLoopback, {});  // present, without the export
    bool done = false;
    std::string afs = kAfsCode;
    EXPECT_TRUE(RemoveEarlierSoftware("", afs, done, false));
    EXPECT_EQ(m.ReleaseLoadedLibraries(), 1);
    m.RemoveFile(kLoopback);
    AddProduct(kAfsCode, "QV-OpenAFS 1.5");
    EXPECT_TRUE(RemoveAfsPackage(afs, false));
}

TEST_F(RemovalTest, StaleAfsKeyTouchesNothing) {
    m.drives['H'] = {DRIVE_REMOTE, "\\\\afs\\cell"};
    std::string afs = kAfsCode;  // removed meanwhile
    EXPECT_FALSE(RemoveAfsPackage(afs, false));
    EXPECT_EQ(afs, kAfsCode);
    EXPECT_EQ(m.CallCount("GetDriveTypeA"), 0);
    EXPECT_TRUE(m.installerCalls.empty());
}

TEST_F(RemovalTest, AfsPlainEntryRunsItsUninstaller) {
    AddUninstaller("OpenAFS", "QV-OpenAFS 1.4");
    std::string afs = "OpenAFS";
    EXPECT_TRUE(RemoveAfsPackage(afs, false));
    EXPECT_EQ(m.started.size(), 1u);
    EXPECT_TRUE(m.installerCalls.empty());
}

TEST_F(RemovalTest, RemoteNameThatCannotBeReadIsKeptEmpty) {
    m.drives['H'] = {DRIVE_REMOTE, std::string(300, 'x')};  // does not fit the 260-character buffer
    m.drives['K'] = {DRIVE_REMOTE, "\\\\afs\\cell"};
    std::vector<RemoteDrive> drives = ListRemoteDrives();
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].root, "H:\\");
    EXPECT_EQ(drives[0].remoteName, "");
    EXPECT_EQ(drives[1].remoteName, "\\\\afs\\cell");
}

}  // namespace
