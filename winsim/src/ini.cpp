// INI-file reading over the machine's file table, as GetPrivateProfileStringA
// and GetPrivateProfileIntA read a file named by its full path.
#include <windows.h>
#include "internals.h"

#include <algorithm>
#include <cstring>
#include <optional>

using winsim::FileEntry;
using winsim::Machine;

namespace {

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// The file's text, reached the way an open reaches it (a link at the name is followed).
std::optional<std::string> IniText(Machine& m, const std::string& path) {
    FileEntry* e = m.FindFile(path);
    if (e && !e->linkTarget.empty()) e = m.FindFile(m.RealPath(e->linkTarget));
    if (!e || e->directory) return std::nullopt;
    winsim::WaitForOplock(*e, GENERIC_READ);
    return e->data;
}

// The value of key in section: the first such key of the first such section,
// blanks around it removed and one pair of enclosing quotes dropped.
std::optional<std::string> IniValue(const std::string& text, const std::string& section, const std::string& key) {
    bool inSection = false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() + 1 : end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = Trim(line);
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            std::string name = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            inSection = winsim::UpperAscii(name) == winsim::UpperAscii(section);
            continue;
        }
        if (!inSection) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        if (winsim::UpperAscii(Trim(line.substr(0, eq))) != winsim::UpperAscii(key)) continue;
        std::string value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

}  // namespace

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                                      DWORD nSize, LPCSTR lpFileName) {
    Machine& m = winsim::Call("GetPrivateProfileStringA");
    if (!lpAppName || !lpKeyName)
        throw winsim::SimulationError("GetPrivateProfileStringA: section and key lists are not simulated");
    if (!lpReturnedString || nSize == 0) return 0;
    std::optional<std::string> text = IniText(m, lpFileName ? lpFileName : "");
    std::optional<std::string> value = text ? IniValue(*text, lpAppName, lpKeyName) : std::nullopt;
    std::string result = value ? *value : Trim(lpDefault ? lpDefault : "");
    m.lastError = text ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    // A value that does not fit is cut to nSize - 1 characters, and that is the answer.
    size_t n = std::min<size_t>(result.size(), nSize - 1);
    std::memcpy(lpReturnedString, result.data(), n);
    lpReturnedString[n] = '\0';
    if (n < result.size()) m.lastError = ERROR_MORE_DATA;
    return static_cast<DWORD>(n);
}

UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault, LPCSTR lpFileName) {
    Machine& m = winsim::Call("GetPrivateProfileIntA");
    std::optional<std::string> text = IniText(m, lpFileName ? lpFileName : "");
    std::optional<std::string> value =
        text && lpAppName && lpKeyName ? IniValue(*text, lpAppName, lpKeyName) : std::nullopt;
    if (!value) return static_cast<UINT>(nDefault);
    // Leading decimal digits, with an optional sign; none gives 0.
    const std::string& v = *value;
    size_t i = 0;
    bool negative = false;
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) negative = v[i++] == '-';
    long long n = 0;
    while (i < v.size() && v[i] >= '0' && v[i] <= '9' && n < 0x100000000LL) n = n * 10 + (v[i++] - '0');
    return static_cast<UINT>(negative ? -n : n);
}
