// Fuzzes the text helpers every parser stands on, by their properties:
// FindNoCase finds the first match whatever the case of ASCII letters;
// TrimSpaces, LeftPart, RightPart, StripFileName and AddTrailingBackslash keep
// to their texts; TextToInt agrees with a reading of its own (clamped to 32
// bits) and reads back what IntToText writes.
#include "platform/text.h"
#include "support/failure.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <winsim/machine.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    fuzz_support::Fail("text_helpers", what, detail);
}

std::string AsciiCase(std::string text, bool upper) {
    for (char& c : text)
        c = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c))
                                    : std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// atoi's reading: C blanks, a sign, digits; clamped to the 32-bit range.
int ReadInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        if (value <= INT_MAX + 1LL) value = value * 10 + (text[i] - '0');
    value = negative ? -value : value;
    return static_cast<int>(value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : value);
}

void CheckFind(const std::string& text, const std::string& pattern) {
    using kestrup::FindNoCase;
    const int at = FindNoCase(text, pattern);
    const std::string both = text + "\n" + pattern;
    if (pattern.empty()) {
        if (at != 1) Fail("an empty pattern is not found at 1", both);
        return;
    }
    if (at < 0 || static_cast<size_t>(at) > text.size()) Fail("a position outside the text", both);
    const size_t exact = text.find(pattern);
    if (exact != std::string::npos && (at == 0 || static_cast<size_t>(at) > exact + 1))
        Fail("an exact match found later or not at all", both);
    if (FindNoCase(AsciiCase(text, true), AsciiCase(pattern, false)) != at) Fail("ASCII case changes the match", both);
    if (at == 0) return;
    const size_t start = static_cast<size_t>(at) - 1;
    if (start + pattern.size() > text.size()) Fail("a match past the end", both);
    if (FindNoCase(text.substr(start, pattern.size()), pattern) != 1) Fail("the match is not the pattern", both);
    if (FindNoCase(text.substr(0, start + pattern.size() - 1), pattern) != 0) Fail("an earlier match was passed", both);
    // An 8-bit letter after the text changes how it is folded, not where the first match is.
    if (FindNoCase(text + "\xE9", pattern) != at) Fail("an 8-bit letter after the match moved it", both);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrup;
    // FindNoCase folds letters through the (simulated) Windows code page.
    winsim::Machine machine;
    FuzzedDataProvider provider(data, size);
    const int count = provider.ConsumeIntegral<int>();
    const std::string pattern = provider.ConsumeRandomLengthString(64);
    const std::string text = provider.ConsumeRemainingBytesAsString();

    CheckFind(text, pattern);

    const std::string left = LeftPart(text, count), right = RightPart(text, count);
    const size_t want = count <= 0 ? 0 : std::min(text.size(), static_cast<size_t>(count));
    if (left != text.substr(0, want) || right != text.substr(text.size() - want)) Fail("a wrong part", text);

    std::string trimmed = text;
    TrimSpaces(trimmed);
    if (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.back() == ' ')) Fail("a blank kept", trimmed);
    if (text.find(trimmed) == std::string::npos) Fail("trimming changed the text", trimmed);
    if (trimmed.size() + text.find_first_not_of(' ') > text.size() && !trimmed.empty())
        Fail("trimming lost text", text);
    std::string again = trimmed;
    TrimSpaces(again);
    if (again != trimmed) Fail("trimming twice differs", trimmed);

    std::string path = text;
    AddTrailingBackslash(path);
    if (path.empty() || path.back() != '\\' || path.compare(0, text.size(), text) != 0 || path.size() > text.size() + 1)
        Fail("a wrong trailing backslash", path);
    std::string folder = text;
    StripFileName(folder);
    const std::string unquoted = !text.empty() && text[0] == '"' ? text.substr(1) : text;
    if (!folder.empty() && unquoted.compare(0, folder.size(), folder) != 0 &&
        text.compare(0, folder.size(), folder) != 0)
        Fail("a folder that is not the path's beginning", text + "\n" + folder);
    const size_t cut = text.size() - unquoted.size() + folder.size();
    if (!folder.empty() && (cut >= text.size() || text[cut] != '\\' || text.find('\\', cut + 1) != std::string::npos))
        Fail("a folder not cut at the last backslash", text + "\n" + folder);

    int stored = 0;
    const int value = TextToInt(text, &stored);
    if (value != stored || value != ReadInt(text)) Fail("a wrong number", text);
    if (TextToInt(IntToText(count), nullptr) != count) Fail("a number does not read back", IntToText(count));

    if (!EqualsNoCase(text, AsciiCase(text, true)) || EqualsNoCase(text, text + "x")) Fail("a wrong comparison", text);
    return 0;
}
