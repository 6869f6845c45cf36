#include "driver/package.h"

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

TEST(InstallerErrorTextTest, Texts) {
    EXPECT_EQ(InstallerErrorText(13), " (The data is invalid.)");
    EXPECT_EQ(InstallerErrorText(1610), " (Configuration data is corrupt)");
    EXPECT_EQ(InstallerErrorText(1618), " (An installation is already in progress)");
    EXPECT_EQ(InstallerErrorText(1617), " (Unknown Erro)");
    EXPECT_EQ(InstallerErrorText(0), " (Unknown Erro)");
    EXPECT_EQ(InstallerErrorText(-1603), " (Unknown Erro)");
}

}  // namespace
