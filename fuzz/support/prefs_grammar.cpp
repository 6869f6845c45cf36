#include "support/prefs_grammar.h"

#include <cctype>
#include <cstdint>

namespace prefs_grammar {

namespace {

struct Cursor {
    const std::string& s;
    size_t i = 0;
    bool inComment = false;
    bool AtEnd() const { return i >= s.size(); }
    char Peek() const { return s[i]; }
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

void SkipBlanks(Cursor& c) {
    while (!c.AtEnd()) {
        if (c.inComment) {
            size_t close = c.s.find("*/", c.i);
            if (close == std::string::npos) {
                c.i = c.s.size();
                return;
            }
            c.i = close + 2;
            c.inComment = false;
        } else if (IsBlank(c.Peek())) {
            ++c.i;
        } else if (c.Peek() == '#' || c.s.compare(c.i, 2, "//") == 0) {
            c.i = c.s.size();
        } else if (c.s.compare(c.i, 2, "/*") == 0) {
            c.i += 2;
            c.inComment = true;
        } else {
            return;
        }
    }
}

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool ReadHex(Cursor& c, int digits, uint32_t& value) {
    value = 0;
    for (int k = 0; k < digits; ++k, ++c.i) {
        if (c.AtEnd() || HexDigit(c.Peek()) < 0) return false;
        value = value * 16 + static_cast<uint32_t>(HexDigit(c.Peek()));
    }
    return true;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool ReadString(Cursor& c, std::string& decoded) {
    if (c.AtEnd() || (c.Peek() != '"' && c.Peek() != '\'')) return false;
    const char quote = c.s[c.i++];
    decoded.clear();
    while (!c.AtEnd()) {
        char ch = c.s[c.i++];
        if (ch == quote) return true;
        if (ch == '\0') return false;
        if (ch != '\\') {
            decoded += ch;
            continue;
        }
        if (c.AtEnd()) return false;
        char e = c.s[c.i++];
        uint32_t code = 0;
        switch (e) {
        case '\\':
        case '"':
        case '\'':
            decoded += e;
            break;
        case 'n':
            decoded += '\n';
            break;
        case 'r':
            decoded += '\r';
            break;
        case 'x':
            if (!ReadHex(c, 2, code) || code == 0) return false;
            AppendUtf8(decoded, code);
            break;
        case 'u':
            if (!ReadHex(c, 4, code) || code == 0) return false;
            if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate alone
            if (code >= 0xD800 && code <= 0xDBFF) {
                uint32_t low = 0;
                if (c.s.compare(c.i, 2, "\\u") != 0) return false;
                c.i += 2;
                if (!ReadHex(c, 4, low) || low < 0xDC00 || low > 0xDFFF) return false;
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            AppendUtf8(decoded, code);
            break;
        default:
            return false;
        }
    }
    return false;  // not closed on this line
}

std::string ReadWord(Cursor& c) {
    size_t start = c.i;
    while (!c.AtEnd() && (std::isalnum(static_cast<unsigned char>(c.Peek())) || c.Peek() == '_')) ++c.i;
    return c.s.substr(start, c.i - start);
}

bool ReadPunct(Cursor& c, char p) {
    SkipBlanks(c);
    if (c.AtEnd() || c.Peek() != p) return false;
    ++c.i;
    return true;
}

bool ReadInteger(Cursor& c) {
    bool negative = false;
    if (!c.AtEnd() && (c.Peek() == '+' || c.Peek() == '-')) negative = c.s[c.i++] == '-';
    size_t start = c.i;
    int64_t value = 0;
    while (!c.AtEnd() && c.Peek() >= '0' && c.Peek() <= '9') {
        value = value * 10 + (c.s[c.i++] - '0');
        if (value > int64_t(INT32_MAX) + 1) return false;
    }
    if (c.i == start || (!negative && value > INT32_MAX)) return false;
    // A number runs into no letter: "12abc" is not a value.
    return c.AtEnd() || !(std::isalnum(static_cast<unsigned char>(c.Peek())) || c.Peek() == '_');
}

bool ReadStatement(Cursor& c, Pref& pref) {
    pref = Pref{};
    pref.keyword = ReadWord(c);
    if (pref.keyword != "user_pref" && pref.keyword != "pref" && pref.keyword != "sticky_pref") return false;
    if (!ReadPunct(c, '(')) return false;
    SkipBlanks(c);
    if (!ReadString(c, pref.name)) return false;
    if (!ReadPunct(c, ',')) return false;
    SkipBlanks(c);
    if (!c.AtEnd() && (c.Peek() == '"' || c.Peek() == '\'')) {
        if (!ReadString(c, pref.value)) return false;
        pref.isString = true;
    } else if (!c.AtEnd() && std::isalpha(static_cast<unsigned char>(c.Peek()))) {
        std::string word = ReadWord(c);
        if (word != "true" && word != "false") return false;
    } else if (!ReadInteger(c)) {
        return false;
    }
    while (pref.keyword == "pref" && ReadPunct(c, ',')) {
        SkipBlanks(c);
        std::string attribute = ReadWord(c);
        if (attribute != "sticky" && attribute != "locked") return false;
    }
    return ReadPunct(c, ')') && ReadPunct(c, ';');
}

}  // namespace

bool ReadLine(const std::string& line, bool& inComment, std::vector<Pref>& prefs) {
    Cursor c{line};
    c.inComment = inComment;
    while (true) {
        SkipBlanks(c);
        if (c.AtEnd()) break;
        Pref pref;
        if (!ReadStatement(c, pref)) return false;  // the comment state after a fault is not known
        prefs.push_back(pref);
    }
    inComment = c.inComment;
    return true;
}

std::vector<std::string> Members(const std::string& list) {
    std::vector<std::string> members;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string member = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t first = member.find_first_not_of(" \t");
        if (first != std::string::npos)
            members.push_back(member.substr(first, member.find_last_not_of(" \t") - first + 1));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return members;
}

}  // namespace prefs_grammar
