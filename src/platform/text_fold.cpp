#include "platform/text.h"

#include <windows.h>

#include <cwchar>
#include <vector>

namespace kestrup {

int FindNoCase(const std::string& text, const std::string& pattern) {
    if (pattern.empty()) return 1;
    // Plain ASCII folds alike in every ANSI code page (no lead or trail
    // bytes either): no copies and no call into the system, which a
    // prefs.js of many thousand lines would otherwise pay per line.
    if (IsAscii(text) && IsAscii(pattern)) return FindNoCaseAscii(text, pattern);
    std::string upperText = text, upperPattern = pattern;
    // CharUpperBuffA folds with the system's code page, so accented letters match too.
    if (!upperText.empty()) CharUpperBuffA(&upperText[0], static_cast<DWORD>(upperText.size()));
    CharUpperBuffA(&upperPattern[0], static_cast<DWORD>(upperPattern.size()));
    size_t at = upperText.find(upperPattern);
    return at == std::string::npos ? 0 : static_cast<int>(at) + 1;
}

bool BeginsWithNoCase(const std::string& text, const std::string& start) {
    return text.size() >= start.size() && FindNoCase(text.substr(0, start.size()), start) == 1;
}

bool ExactAnsi(const wchar_t* text, std::string& out) {
    out.clear();
    // A double-byte code page may need two bytes a character.
    std::vector<char> narrow(2 * (std::wcslen(text) + 1), '\0');
    BOOL usedDefault = FALSE;
    // A UTF-8 code page holds every character, and takes neither the flag nor usedDefault.
    const bool utf8 = GetACP() == CP_UTF8;
    if (WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, text, -1, narrow.data(),
                            static_cast<int>(narrow.size()), nullptr, utf8 ? nullptr : &usedDefault) == 0 ||
        usedDefault)
        return false;
    out = narrow.data();
    return true;
}

}  // namespace kestrup
