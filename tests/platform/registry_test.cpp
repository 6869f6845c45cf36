#include "platform/registry.h"

#include "support/machine_fixture.h"

using namespace kestrup;
using namespace kestrup_test;

namespace {

class RegistryTest : public MachineTest {};

TEST_F(RegistryTest, ReadsFallBackToThe64BitViewAndWritesUseThePlainView) {
    m.SetString(HKEY_LOCAL_MACHINE, "Software\\Only64", "Name", "from 64", View::k64);
    std::string out;
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Only64"));
    EXPECT_TRUE(RegFindValueName(HKEY_LOCAL_MACHINE, "Software\\Only64", "nam"));
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, "Software\\Only64", "Name", out));
    EXPECT_EQ(out, "from 64");

    EXPECT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, "Software\\Only64", "Name", "plain"));
    EXPECT_EQ(m.GetString(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\Only64", "Name", View::k64), "plain");
    EXPECT_EQ(m.GetString(HKEY_LOCAL_MACHINE, "Software\\Only64", "Name", View::k64), "from 64");
    // Now the plain view has the key, so reads stop there.
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, "Software\\Only64", "Name", out));
    EXPECT_EQ(out, "plain");
}

TEST_F(RegistryTest, ValueMissingInPlainKeyDoesNotFallBack) {
    // The fallback is for a key that cannot be opened, not for a missing value.
    m.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Both", View::k32);
    m.SetString(HKEY_LOCAL_MACHINE, "Software\\Both", "V", "64", View::k64);
    std::string out = "stale";
    EXPECT_FALSE(RegReadString(HKEY_LOCAL_MACHINE, "Software\\Both", "V", out));
    EXPECT_EQ(out, "");
}

TEST_F(RegistryTest, ReadExpandsEveryTypeOfText) {
    m.SetString(HKEY_CURRENT_USER, "K", "Sz", "%SystemRoot%\\system32", View::k32, REG_SZ);
    m.SetString(HKEY_CURRENT_USER, "K", "Expand", "%SystemRoot%\\x", View::k32, REG_EXPAND_SZ);
    m.SetString(HKEY_CURRENT_USER, "K", "Undefined", "%NoSuchName%\\x");
    m.SetString(HKEY_CURRENT_USER, "K", "Empty", "");
    m.SetBinary(HKEY_CURRENT_USER, "K", "Multi", REG_MULTI_SZ, {'o', 'n', 'e', 0, 't', 'w', 'o', 0, 0});
    struct Case {
        const char* name;
        const char* expected;
    } cases[] = {{"Sz", "C:\\WINDOWS\\system32"},
                 {"Expand", "C:\\WINDOWS\\x"},
                 {"Undefined", "%NoSuchName%\\x"},
                 {"Empty", ""},
                 {"Multi", "one"}};
    for (const Case& c : cases) {
        std::string out;
        EXPECT_TRUE(RegReadString(HKEY_CURRENT_USER, "K", c.name, out)) << c.name;
        EXPECT_EQ(out, c.expected) << c.name;
    }
}

TEST_F(RegistryTest, ValuesBeyondTheLimitReadAsAbsent) {
    m.SetString(HKEY_CURRENT_USER, "K", "Fits", std::string(4095, 'a'));     // 4096 bytes with terminator
    m.SetString(HKEY_CURRENT_USER, "K", "TooLong", std::string(4096, 'a'));  // 4097 bytes
    m.SetBinary(HKEY_CURRENT_USER, "K", "Unterminated", REG_SZ, std::vector<BYTE>(4096, 'b'));
    std::string out;
    EXPECT_TRUE(RegReadString(HKEY_CURRENT_USER, "K", "Fits", out));
    EXPECT_EQ(out.size(), 4095u);
    EXPECT_FALSE(RegReadString(HKEY_CURRENT_USER, "K", "TooLong", out));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(RegReadString(HKEY_CURRENT_USER, "K", "Unterminated", out));
    EXPECT_EQ(out, std::string(4096, 'b'));
}

TEST_F(RegistryTest, ExpansionThatDoesNotFitKeepsTheRawText) {
    m.SetEnv("BIG", std::string(5000, 'x'));
    m.SetString(HKEY_CURRENT_USER, "K", "V", "%BIG%");
    std::string out;
    EXPECT_TRUE(RegReadString(HKEY_CURRENT_USER, "K", "V", out));
    EXPECT_EQ(out, "%BIG%");
}

TEST_F(RegistryTest, FindValueNameMatchesSubstringsWithoutCase) {
    for (const char* name : {"my_kfw_entry", "5", "15", "50", "\xc9t\xe9"}) m.SetDword(HKEY_CURRENT_USER, "K", name, 1);
    EXPECT_TRUE(RegFindValueName(HKEY_CURRENT_USER, "K", "KFW"));
    EXPECT_TRUE(RegFindValueName(HKEY_CURRENT_USER, "K", "5"));
    EXPECT_TRUE(RegFindValueName(HKEY_CURRENT_USER, "K", "15"));
    EXPECT_FALSE(RegFindValueName(HKEY_CURRENT_USER, "K", "51"));
    // Only A to Z fold here, unlike FindNoCase.
    EXPECT_FALSE(RegFindValueName(HKEY_CURRENT_USER, "K", "\xe9t\xe9"));
    EXPECT_TRUE(RegFindValueName(HKEY_CURRENT_USER, "K", "\xc9T\xe9"));
    EXPECT_FALSE(RegFindValueName(HKEY_CURRENT_USER, "Missing", ""));
}

TEST_F(RegistryTest, FindValueNameReadsLongNamesWhole) {
    m.SetDword(HKEY_CURRENT_USER, "K", std::string(300, 'a') + "needle", 1);
    m.SetDword(HKEY_CURRENT_USER, "K", "after", 1);
    EXPECT_TRUE(RegFindValueName(HKEY_CURRENT_USER, "K", "NEEDLE"));
    EXPECT_TRUE(RegFindValueName(HKEY_CURRENT_USER, "K", "after"));
}

TEST_F(RegistryTest, UnreadableKeyCountsAsAbsent) {
    m.SetString(HKEY_LOCAL_MACHINE, "Software\\Locked", "V", "x");
    m.FindKey(HKEY_LOCAL_MACHINE, "Software\\Locked")->denyRead = true;
    std::string out;
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Locked"));
    EXPECT_FALSE(RegReadString(HKEY_LOCAL_MACHINE, "Software\\Locked", "V", out));
    EXPECT_FALSE(RegFindValueName(HKEY_LOCAL_MACHINE, "Software\\Locked", "V"));
}

TEST_F(RegistryTest, WritesCreateMissingKeysWithExactData) {
    EXPECT_TRUE(RegWriteString(HKEY_CURRENT_USER, "A\\B\\C", "S", "text"));
    const winsim::RegValue* s = m.GetValue(HKEY_CURRENT_USER, "A\\B\\C", "S");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(s->data.size(), 5u);

    EXPECT_TRUE(RegWriteDword(HKEY_CURRENT_USER, "A", "D", 90000));
    EXPECT_EQ(m.GetDword(HKEY_CURRENT_USER, "A", "D"), 90000u);

    const char block[] = "a\0bc\0\0\0";  // trailing zero bytes are kept as given
    EXPECT_TRUE(RegWriteMultiString(HKEY_CURRENT_USER, "A", "M", block, 8));
    const winsim::RegValue* multi = m.GetValue(HKEY_CURRENT_USER, "A", "M");
    ASSERT_NE(multi, nullptr);
    EXPECT_EQ(multi->type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(multi->data, std::vector<BYTE>(block, block + 8));
}

TEST_F(RegistryTest, WriteIntoAProtectedKeyFails) {
    m.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Policy").denyWrite = true;
    EXPECT_FALSE(RegWriteString(HKEY_LOCAL_MACHINE, "Software\\Policy", "V", "x"));
    EXPECT_FALSE(RegWriteString(HKEY_LOCAL_MACHINE, "Software\\Policy\\Below", "V", "x"));
    EXPECT_EQ(m.FindKey(HKEY_LOCAL_MACHINE, "Software\\Policy\\Below"), nullptr);
}

class Registry32BitMachineTest : public MachineTest {
protected:
    Registry32BitMachineTest() : MachineTest(Arch::x86) {}
};

TEST_F(Registry32BitMachineTest, OneViewOnly) {
    EXPECT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos", "InstallDir", "C:\\K\\"));
    EXPECT_NE(m.FindKey(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos", View::k64), nullptr);
    EXPECT_EQ(m.FindKey(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node", View::k64), nullptr);
}

}  // namespace
