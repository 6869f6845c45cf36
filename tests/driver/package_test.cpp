#include "driver/package.h"

#include "driver/engine_update.h"
#include "driver/os_class.h"
#include "driver/prerequisites.h"
#include "support/machine_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

class PackageTest : public MachineTest {};

TEST_F(PackageTest, ResultCodes) {
    const std::string path = kPackagePath;
    struct Case {
        UINT result;
        bool ok;
        std::string message;
    } cases[] = {
        {0, true, ""},
        {3010, true, "Reboot required."},
        {1603, false, "Installer " + path + " FAILED, returned 1603 (Fatal error during installation.)"},
        {1602, false, "Installer " + path + " FAILED, returned 1602 (User canceled installation.)"},
        {1641, true, "Restart initiated."},  // installed; Windows is restarting
        {1617, false, "Installer " + path + " FAILED, returned 1617 (Unknown Erro)"},
        {5, false, "Installer " + path + " FAILED, returned 5 (Unknown Erro)"},
        {0xFFFFFFFFu, false, "Installer " + path + " FAILED, returned -1 (Unknown Erro)"},
    };
    for (const Case& c : cases) {
        AddKerberosPackage(c.result);
        std::string message = "stale";
        EXPECT_EQ(InstallKerberosPackage(RunFlags{}, message), c.ok) << c.result;
        EXPECT_EQ(message, c.message);
    }
    ASSERT_EQ(m.installerCalls.size(), std::size(cases));
    EXPECT_EQ(m.installerCalls[0].function, "MsiInstallProductA");
    EXPECT_EQ(m.installerCalls[0].target, kPackagePath);
    EXPECT_EQ(m.installerCalls[0].properties, "REBOOT=REALLYSUPPRESS");
}

TEST_F(PackageTest, UserInterfaceLevelFollowsTheFlags) {
    AddKerberosPackage();
    struct Case {
        RunFlags flags;
        int level;
    } cases[] = {
        // Windows Installer's own numbers, not the headers' names for them.
        {{true, true, false}, 2},    // INSTALLUILEVEL_NONE
        {{true, false, false}, 67},  // INSTALLUILEVEL_BASIC | INSTALLUILEVEL_PROGRESSONLY
        {{false, false, false}, 5},  // INSTALLUILEVEL_FULL
    };
    for (const Case& c : cases) {
        std::string message;
        EXPECT_TRUE(InstallKerberosPackage(c.flags, message));
        EXPECT_EQ(m.installerCalls.back().uiLevel, c.level);
    }
}

TEST_F(PackageTest, MissingPackageIsNotHandedToTheInstaller) {
    std::string message;
    EXPECT_FALSE(InstallKerberosPackage(RunFlags{}, message));
    EXPECT_EQ(message, "ERROR the installer file: C:\\Kestrup Setup\\kfw_release.msi is missing.");
    EXPECT_TRUE(m.installerCalls.empty());
    EXPECT_EQ(m.CallCount("MsiSetInternalUI"), 0);
}

TEST_F(PackageTest, DirectoryNamedLikeThePackageIsNotAPackage) {
    m.AddDirectory(kPackagePath);
    std::string message;
    EXPECT_FALSE(InstallKerberosPackage(RunFlags{}, message));
    EXPECT_TRUE(m.installerCalls.empty());
}

TEST_F(PackageTest, InvalidPackageIsReportedByTheInstallersCode) {
    m.AddFile(kPackagePath, "not a database");
    std::string message;
    EXPECT_FALSE(InstallKerberosPackage(RunFlags{}, message));
    EXPECT_EQ(message, std::string("Installer ") + kPackagePath + " FAILED, returned 1620 (Incompatible database)");
}

TEST_F(PackageTest, UnknownProgramPathIsReportedWithoutGuessing) {
    m.modulePath = "C:\\" + std::string(270, 'p') + "\\kestrup.exe";
    std::string message;
    EXPECT_FALSE(InstallKerberosPackage(RunFlags{}, message));
    EXPECT_EQ(message, "ERROR the installer file: kfw_release.msi is missing.");
    EXPECT_TRUE(m.installerCalls.empty());
}

// What another program gets when it tries to overwrite, then delete, the file at path.
std::vector<DWORD> TrySwap(const std::string& path) {
    std::vector<DWORD> errors;
    HANDLE other = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    errors.push_back(other == INVALID_HANDLE_VALUE ? GetLastError() : 0);
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    errors.push_back(DeleteFileA(path.c_str()) ? 0 : GetLastError());
    return errors;
}

TEST_F(PackageTest, PinnedPackagesAreTheSitesOrCountAsMissing) {
    const std::string msiSha = "f936c64eb2f99967d11cb14160b66ebfd6ce719a7ced875dcfc425e0b7c6aa0a";  // of "MSI"
    const std::string otherSha = "17780689abdcfd3e9b8b701712757ec09b08cae32ec0bf6c5ccf80d175e9d31f";
    const std::string engine = std::string(kProgramDir) + "WindowsInstaller-KB893803-v2-x86.exe";
    const std::string hotfix = std::string(kProgramDir) + "WindowsXP-KB892090-x86-ENU.exe";
    const std::string unchecked =
        std::string("ERROR: ") + kPackagePath + " cannot be checked against the SHA-256 this installer was built for: ";
    enum Installer { kPackage, kEngine, kHotfix };
    struct Case {
        const char* what;
        Installer installer;
        std::string content;  // of the file in the program's folder
        bool pinned;          // to the SHA-256 of "MSI"
        WORD servicePack;     // of Windows XP
        bool heldForWriting;  // by another program when the run comes to it
        bool swapWhileRunning;
        bool runs;
        std::string logged;
    } cases[] = {
        {"not pinned", kPackage, "MSI swapped", false, 3, false, false, true, ""},
        {"pinned, matches", kPackage, "MSI", true, 3, false, false, true, ""},
        {"pinned, another file", kPackage, "MSI swapped", true, 3, false, false, false,
         std::string("ERROR: ") + kPackagePath + " is not the file this installer was built for: SHA-256 " + otherSha +
             ", expected " + msiSha + "."},
        {"swapped after hashing", kPackage, "MSI", true, 3, false, true, true, ""},
        // CryptoAPI has no SHA-256 before XP SP3: the check must not need it.
        {"XP SP2 checks it as any", kPackage, "MSI", true, 2, false, false, true, ""},
        {"held open for writing", kPackage, "MSI", true, 3, true, false, false,
         unchecked + "it cannot be opened without sharing it for writing (error 32)."},
        {"engine redistributable, another file", kEngine, "MSI swapped", true, 3, false, false, false,
         "ERROR: " + engine + " is not the file this installer was built for: SHA-256 " + otherSha + ", expected " +
             msiSha + "."},
        {"hotfix swapped while it runs", kHotfix, "MSI", true, 3, false, true, true, ""},
    };
    ForEachRow(cases, [&](const Case& c) {
        SCOPED_TRACE(c.what);
        m.SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600, c.servicePack);
        const std::string file = c.installer == kPackage ? kPackagePath : c.installer == kEngine ? engine : hotfix;
        const char* name = file.c_str() + std::string(kProgramDir).size();
        PackagePins pins;
        if (c.pinned) pins[name] = msiSha;
        std::vector<DWORD> swapErrors;
        auto swap = [&] {
            if (c.swapWhileRunning) swapErrors = TrySwap(file);
        };
        if (c.installer == kPackage)
            m.AddPackage(kPackagePath, {ERROR_SUCCESS, swap}, c.content);
        else
            m.AddProgram(file, {0, 0, [&](const winsim::ProcessStart&) { swap(); }});
        m.FindFile(file)->data = c.content;
        HANDLE other = c.heldForWriting ? CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                      nullptr, OPEN_EXISTING, 0, nullptr)
                                        : INVALID_HANDLE_VALUE;
        std::string message;
        if (c.installer == kPackage) {
            EXPECT_EQ(InstallKerberosPackage(RunFlags{true, true, false}, message, pins), c.runs);
            EXPECT_EQ(message, c.runs ? "" : std::string("ERROR the installer file: ") + kPackagePath + " is missing.");
        } else if (c.installer == kEngine) {
            m.AddFile("C:\\WINDOWS\\system32\\msiexec.exe", "MZ");
            m.FindFile("C:\\WINDOWS\\system32\\msiexec.exe")->fileVersions = {{"040904B0", "3.0.3790.2180"}};
            EXPECT_EQ(
                UpdateWindowsInstaller(RunFlags{true, true, false}, kOsXp, "", pins) == EngineUpdate::kRestartRequested,
                c.runs);
        } else {
            InstallHotfix(RunFlags{true, true, false}, pins);
        }
        if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
        EXPECT_EQ(m.installerCalls.size() + m.started.size(), c.runs ? 1u : 0u);
        EXPECT_EQ(LogEntry("0").value_or(""), c.logged);
        // Held, the file could be neither overwritten nor deleted; it is let go once its installer has ended.
        if (c.swapWhileRunning)
            EXPECT_EQ(swapErrors, (std::vector<DWORD>{ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION}));
        ASSERT_NE(m.FindFile(file), nullptr);
        EXPECT_EQ(m.FindFile(file)->data, c.content);
    });
}

TEST(InstallerErrorTextTest, Texts) {
    EXPECT_EQ(InstallerErrorText(13), " (The data is invalid.)");
    EXPECT_EQ(InstallerErrorText(1610), " (Configuration data is corrupt)");
    EXPECT_EQ(InstallerErrorText(1618), " (An installation is already in progress)");
    EXPECT_EQ(InstallerErrorText(1617), " (Unknown Erro)");
    EXPECT_EQ(InstallerErrorText(0), " (Unknown Erro)");
    EXPECT_EQ(InstallerErrorText(-1603), " (Unknown Erro)");
}

}  // namespace
