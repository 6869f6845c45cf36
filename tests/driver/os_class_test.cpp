#include "driver/os_class.h"

#include "support/machine_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

class OsClassTest : public MachineTest {};

TEST_F(OsClassTest, ClassesAndDescriptions) {
    struct Case {
        DWORD platform, major, minor, build;
        const char* csd;
        int osClass;
        const char* description;
    } cases[] = {
        {0, 3, 10, 0, "", 1, "Windows 32s on Windows 3.1   Ver 3.10 (0)"},
        {1, 4, 0, 950, "", 2, "Windows 95   Ver 4.0 (950)"},
        {1, 4, 10, 2222, " A ", 3, "Windows 98   A  Ver 4.10 (2222)"},
        {1, 4, 89, 1, "", 3, "Windows 98   Ver 4.89 (1)"},
        {1, 4, 90, 3000, "", 6, "Windows ME   Ver 4.90 (3000)"},
        {2, 3, 51, 1057, "", 4, "Windows NT   Ver 3.51 (1057)"},
        {2, 4, 0, 1381, "Service Pack 6", 5, "Windows NT  Service Pack 6 Ver 4.0 (1381)"},
        {2, 7, 0, 1, "", 5, "Windows NT   Ver 7.0 (1)"},
        {2, 5, 0, 2195, "Service Pack 4", 7, "Windows 2000  Service Pack 4 Ver 5.0 (2195)"},
        {2, 5, 0, 2195, "", 7, "Windows 2000   Ver 5.0 (2195)"},
        {2, 5, 1, 2600, "Service Pack 2", 8, "Windows XP  Service Pack 2 Ver 5.1 (2600)"},
        {2, 5, 2, 3790, "Service Pack 2", 9, "Windows Server 2003  Service Pack 2 Ver 5.2 (3790)"},
        {2, 6, 0, 6002, "Service Pack 2", 10, "Windows Vista  Service Pack 2 Ver 6.0 (6002)"},
        {2, 6, 1, 7601, "Service Pack 1", 10, "Windows Vista  Service Pack 1 Ver 6.1 (7601)"},
        {2, 6, 3, 9600, "", 10, "Windows Vista   Ver 6.3 (9600)"},
        {2, 5, 1, 0x80000000u, "", 8, "Windows XP   Ver 5.1 (-2147483648)"},  // numbers print signed
    };
    for (const Case& c : cases) {
        m.SetVersion(c.platform, c.major, c.minor, c.build, 0, c.csd);
        std::string description = "before";
        EXPECT_EQ(GetOsClass(description), c.osClass) << c.description;
        EXPECT_EQ(description, c.description);
    }
}

TEST_F(OsClassTest, UnknownPlatformLeavesTheDescription) {
    m.SetVersion(3, 10, 0, 1, 0, "");
    std::string description = "unchanged";
    EXPECT_EQ(GetOsClass(description), 0);
    EXPECT_EQ(description, "unchanged");
}

TEST_F(OsClassTest, FailedVersionQueryIsUnknown) {
    m.versionQueryFails = true;
    std::string description = "unchanged";
    EXPECT_EQ(GetOsClass(description), 0);
    EXPECT_EQ(description, "unchanged");
}

TEST_F(OsClassTest, QueryAsksForTheBasicRecord) {
    m.SetVersion(2, 5, 1, 2600, 3);
    OSVERSIONINFOA v = QueryOsVersion();
    EXPECT_EQ(v.dwOSVersionInfoSize, 148u);
    EXPECT_EQ(v.dwMinorVersion, 1u);
    EXPECT_STREQ(v.szCSDVersion, "Service Pack 3");
}

TEST_F(OsClassTest, ServicePackNumber) {
    struct Case {
        const char* text;
        int expected;
    } cases[] = {
        {"Windows 2000  Service Pack 4 Ver 5.0 (2195)", 4},
        {"Windows 2000   Ver 5.0 (2195)", 0},
        {"Windows XP  Service Pack 1a Ver 5.1 (2600)", 1},
        {"Windows XP  service pack 3 Ver 5.1 (2600)", 3},
        {"Windows XP  Service Pack 2", 0},       // no blank after the number
        {"Windows XP  Service Pack", 0},         // nothing after the words
        {"Windows XP  Service Pack x2 Ver", 0},  // not a digit
        {"Service Pack 12 Ver", 12},
    };
    for (const Case& c : cases) EXPECT_EQ(ServicePackNumber(c.text), c.expected) << c.text;
}

TEST_F(OsClassTest, ServicePackNumberOfTheRealDescription) {
    m.SetVersion(2, 5, 0, 2195, 4);
    std::string description;
    GetOsClass(description);
    EXPECT_EQ(ServicePackNumber(description), 4);
}

}  // namespace
