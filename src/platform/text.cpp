#include "platform/text.h"

#include <climits>
#include <cstdlib>

namespace kestrup {

bool IsAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

int FindNoCaseAscii(const std::string& text, const std::string& pattern) {
    if (pattern.empty()) return 1;
    if (pattern.size() > text.size()) return 0;
    // Compared in place: no copies, which a prefs.js of many thousand lines
    // would otherwise pay per line.
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    const char first = upper(pattern[0]);
    const size_t last = text.size() - pattern.size();
    for (size_t at = 0; at <= last; ++at) {
        if (upper(text[at]) != first) continue;
        size_t i = 1;
        while (i < pattern.size() && upper(text[at + i]) == upper(pattern[i])) ++i;
        if (i == pattern.size()) return static_cast<int>(at) + 1;
    }
    return 0;
}

std::string LeftPart(const std::string& source, int count) {
    if (count <= 0) return std::string();
    return source.substr(0, static_cast<size_t>(count));
}

std::string RightPart(const std::string& source, int count) {
    if (count <= 0) return std::string();
    size_t n = static_cast<size_t>(count);
    return n >= source.size() ? source : source.substr(source.size() - n);
}

void TrimSpaces(std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    size_t last = text.find_last_not_of(' ');
    text = text.substr(first, last - first + 1);
}

void ReplaceChar(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    char replacement = to.empty() ? '\0' : to[0];
    for (char& c : text)
        if (c == from[0]) c = replacement;
    // A replacement by the empty text's terminator ends the text there, as it would in a C buffer.
    size_t end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
}

void StripFileName(std::string& path) {
    bool quoted = !path.empty() && path[0] == '"';
    size_t slash = path.find_last_of('\\');
    std::string result = (slash == std::string::npos || slash == 0) ? std::string() : path.substr(0, slash);
    if (quoted && !result.empty() && result[0] == '"') result.erase(0, 1);
    path = result;
}

void AddTrailingBackslash(std::string& path) {
    if (path.empty() || path.back() != '\\') path += '\\';
}

int TextToInt(const std::string& text, int* value) {
    long long parsed = std::strtoll(text.c_str(), nullptr, 10);
    if (parsed > INT_MAX) parsed = INT_MAX;
    if (parsed < INT_MIN) parsed = INT_MIN;
    int result = static_cast<int>(parsed);
    if (value) *value = result;
    return result;
}

std::string IntToText(int value) { return std::to_string(value); }

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

}  // namespace kestrup
