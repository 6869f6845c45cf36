#include "platform/sha256.h"
#include "platform/text.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <winsim/machine.h>

using namespace kestrup;

namespace {

class TextTest : public ::testing::Test {
protected:
    winsim::Machine m;  // FindNoCase folds through the system's code page
};

TEST_F(TextTest, FindNoCasePositions) {
    struct Case {
        const char* text;
        const char* pattern;
        int expected;
    } cases[] = {
        {"Service Pack 2", "service pack", 1},
        {"C:\\Program Files", "files", 12},
        {"abc", "", 1},
        {"", "a", 0},
        {"abc", "abcd", 0},
        {"x /reallysilent y", "/ReallySilent", 3},
        {"\xe9t\xe9", "\xc9T\xc9", 1},      // accented letters of the code page fold too
        {"aXbxc", "xc", 4},                 // the first occurrence, not the first partial match
        {"caf\xe9 au lait", "CAF\xc9", 1},  // plain text, accented pattern
        {"a{b", "A[B", 0},                  // only letters fold
    };
    for (const Case& c : cases) EXPECT_EQ(FindNoCase(c.text, c.pattern), c.expected) << c.text << " / " << c.pattern;
}

TEST_F(TextTest, PartsBySignedCount) {
    EXPECT_EQ(LeftPart("kfw_release.msi", 3), "kfw");
    EXPECT_EQ(LeftPart("kfw_release.msi", 0), "");
    EXPECT_EQ(LeftPart("kfw_release.msi", -1), "");
    EXPECT_EQ(LeftPart("0123456789", 20), "0123456789");
    EXPECT_EQ(RightPart("abc", 1), "c");
    EXPECT_EQ(RightPart("abc", 3), "abc");
    EXPECT_EQ(RightPart("abc", 0), "");
    EXPECT_EQ(RightPart("abc", -2), "");
    EXPECT_EQ(RightPart("abc", 7), "abc");
}

TEST_F(TextTest, TrimSpacesRemovesOnlyCode32) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"  a b  ", "a b"}, {" \ta ", "\ta"}, {"", ""}, {"    ", ""}, {"a\n ", "a\n"}, {"\r\n", "\r\n"},
    };
    for (Case c : cases) {
        std::string t = c.in;
        TrimSpaces(t);
        EXPECT_EQ(t, c.out) << "[" << c.in << "]";
    }
}

TEST_F(TextTest, ReplaceCharUsesFirstCharacters) {
    std::string t = "Profiles/abc.default/x";
    ReplaceChar(t, "/", "\\");
    EXPECT_EQ(t, "Profiles\\abc.default\\x");
    t = "a.b";
    ReplaceChar(t, ".x", "-y");
    EXPECT_EQ(t, "a-b");
}

TEST_F(TextTest, StripFileNameAndTrailingBackslash) {
    struct Case {
        std::string in, stripped, withBackslash;
    } cases[] = {
        {"C:\\Setup\\installer.exe", "C:\\Setup", "C:\\Setup\\"},
        {"\"C:\\Setup\\installer.exe", "C:\\Setup", "C:\\Setup\\"},
        {"\\file", "", "\\"},
        {"C:\\Kestrup Setup\\kestrup.exe", "C:\\Kestrup Setup", "C:\\Kestrup Setup\\"},  // blanks kept, nothing quoted
        {"C:\\a\\b\\", "C:\\a\\b", "C:\\a\\b\\"},
    };
    for (Case c : cases) {
        std::string p = c.in;
        StripFileName(p);
        EXPECT_EQ(p, c.stripped) << c.in;
        AddTrailingBackslash(p);
        EXPECT_EQ(p, c.withBackslash) << c.in;
    }
    std::string already = "C:\\Setup\\";
    AddTrailingBackslash(already);
    EXPECT_EQ(already, "C:\\Setup\\");
}

TEST_F(TextTest, NumberConversions) {
    struct Case {
        const char* text;
        int value;
    } cases[] = {{"12.5", 12}, {" 12abc", 12}, {"x", 0}, {"-7", -7}, {"", 0}, {"99999999999", 2147483647}};
    for (const Case& c : cases) {
        int out = -123;
        EXPECT_EQ(TextToInt(c.text, &out), c.value) << c.text;
        EXPECT_EQ(out, c.value) << c.text;
    }
    EXPECT_EQ(IntToText(-2147483647 - 1), "-2147483648");
    EXPECT_EQ(IntToText(0), "0");
    EXPECT_EQ(IntToText(1603), "1603");
}

}  // namespace

// The standard's own examples, one spanning two blocks, and a length that
// leaves no room for the bit count in its last block.
TEST(Sha256Test, KnownDigests) {
    struct Case {
        std::string data;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        Sha256 sha;
        // In uneven pieces, as a file is read.
        for (size_t at = 0; at < c.data.size(); at += 4093)
            sha.Add(reinterpret_cast<const unsigned char*>(c.data.data()) + at,
                    std::min<size_t>(4093, c.data.size() - at));
        EXPECT_EQ(sha.HexDigest(), c.digest) << c.data.size() << " bytes";
    }
}
