#include "integration/firefox_prefs_text.h"

#include "platform/text.h"
#include "site_constants.h"

#include <cctype>
#include <cstring>

namespace kestrup {

namespace {

constexpr char kTrustedUrisName[] = "network.negotiate-auth.trusted-uris";
constexpr char kTrustedUrisText[] = "user_pref(\"network.negotiate-auth.trusted-uris\"";
constexpr char kSspiOffText[] = "user_pref(\"network.auth.use-sspi\", false);";
constexpr char kSspiLine[] = "user_pref(\"network.auth.use-sspi\", false);\n";
// Firefox's own form of the trusted-URIs line: its recognised text and the comma.
constexpr size_t kPositionalPrefix = 48;

// The texts recognised here are ASCII, so letters fold A to Z only: the same
// answers as a fold through the ANSI code page for every line Firefox reads,
// without asking Windows.
bool ContainsAsciiNoCase(const std::string& text, const std::string& pattern) {
    return FindNoCaseAscii(text, pattern) != 0;
}

bool BeginsAsciiNoCase(const std::string& text, const std::string& start) {
    return text.size() >= start.size() && EqualsNoCase(text.substr(0, start.size()), start);
}

// ---- the trusted-URIs line ------------------------------------------------------

std::string TrustedUrisStatement(const std::string& list) {
    return std::string("user_pref(\"") + kTrustedUrisName + "\", \"" + list + "\");";
}

std::string DefaultStatement() { return TrustedUrisStatement(site::kDomain); }

std::string MergedStatement(const std::string& list) { return TrustedUrisStatement(list + ", " + site::kDomain); }

// The site domain as a member of a list: after a blank, after a comma or
// before a comma (substring tests without regard to case).
bool NamesSiteDomain(const std::string& text) {
    const std::string domain = site::kDomain;
    return ContainsAsciiNoCase(text, " " + domain) || ContainsAsciiNoCase(text, "," + domain) ||
           ContainsAsciiNoCase(text, domain + ",");
}

// Firefox's own lines: the list taken by position, everything after the 48
// characters of the recognised text and its comma.
std::string PositionalList(const std::string& line) {
    std::string list = RightPart(line, static_cast<int>(line.size()) - static_cast<int>(kPositionalPrefix));
    TrimSpaces(list);
    list = RightPart(list, static_cast<int>(list.size()) - 1);  // the opening quote
    size_t close = list.find("\");");
    if (close != std::string::npos) list.resize(close);
    TrimSpaces(list);
    return list;
}

// A line in Firefox's own form, with or without its line feed.
std::string MergeOwnFormLine(const std::string& line) {
    const std::string body = !line.empty() && line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
    if (EqualsNoCase(body, DefaultStatement()) || NamesSiteDomain(line)) return line;
    const std::string list = PositionalList(line);
    return (list.empty() ? DefaultStatement() : MergedStatement(list)) + "\n";
}

// ---- reading preference statements ------------------------------------------
//
// Lines that are not in Firefox's own form (text or blanks before "user_pref",
// blanks inside the parentheses, several statements on a line, a value in
// single quotes) are read as statements, the way Firefox reads them: blanks
// and comments ("//", "#", "/* */", also across lines) between the tokens. A
// trusted-URIs statement read this way (the last on its line, which is the one
// Firefox applies) keeps whatever stands before and after it on its line and is
// rewritten in Firefox's form with its whole list, to
// which the site domain is added unless the list names it already. A line on
// which the trusted-URIs text stands only inside a comment is kept as it is
// and does not count as the preference. A line with the trusted-URIs text
// outside comments that cannot be read as statements is kept as it is and
// counts as the preference, so that no line written after it overrides a list
// that Firefox may read from it.

struct Scan {
    size_t pos = 0;
    bool inComment = false;  // inside "/* */"
};

// Moves past blanks and comments. A comment to the end of the line, or a
// block comment that does not end on it, leaves pos at the end.
void SkipBlanksAndComments(const std::string& s, Scan& scan) {
    while (scan.pos < s.size()) {
        if (scan.inComment) {
            size_t close = s.find("*/", scan.pos);
            if (close == std::string::npos) {
                scan.pos = s.size();
                return;
            }
            scan.pos = close + 2;
            scan.inComment = false;
            continue;
        }
        char c = s[scan.pos];
        // Firefox's blanks: space, tab, CR, LF, form feed, vertical tab.
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
            ++scan.pos;
        } else if (s.compare(scan.pos, 2, "//") == 0 || c == '#') {
            scan.pos = s.size();
        } else if (s.compare(scan.pos, 2, "/*") == 0) {
            scan.pos += 2;
            scan.inComment = true;
        } else {
            return;
        }
    }
}

// A quoted string at pos, its contents as written (escapes kept).
bool ReadQuoted(const std::string& s, Scan& scan, std::string& contents, char& quote) {
    if (scan.pos >= s.size() || (s[scan.pos] != '"' && s[scan.pos] != '\'')) return false;
    quote = s[scan.pos];
    for (size_t i = scan.pos + 1; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (s[i] == quote) {
            contents = s.substr(scan.pos + 1, i - scan.pos - 1);
            scan.pos = i + 1;
            return true;
        }
    }
    return false;
}

bool ReadChar(const std::string& s, Scan& scan, char c) {
    SkipBlanksAndComments(s, scan);
    if (scan.pos >= s.size() || s[scan.pos] != c) return false;
    ++scan.pos;
    return true;
}

struct Statement {
    size_t begin = 0;  // "user_pref"
    size_t end = 0;    // just past its ";"
    std::string name;
    std::string value;  // as written between its quotes; empty for a value that is not a string
    char quote = 0;     // 0: not a string
};

// One preference statement: name "(" "name" "," value ")" ";".
bool ReadStatement(const std::string& s, Scan& scan, Statement& statement) {
    statement = Statement{};
    statement.begin = scan.pos;
    size_t word = scan.pos;
    while (word < s.size() && (std::isalnum(static_cast<unsigned char>(s[word])) || s[word] == '_')) ++word;
    const std::string keyword = s.substr(scan.pos, word - scan.pos);
    if (!EqualsNoCase(keyword, "user_pref") && !EqualsNoCase(keyword, "pref") && !EqualsNoCase(keyword, "sticky_pref"))
        return false;
    scan.pos = word;
    char quote = 0;
    if (!ReadChar(s, scan, '(')) return false;
    SkipBlanksAndComments(s, scan);
    if (!ReadQuoted(s, scan, statement.name, quote)) return false;
    if (!ReadChar(s, scan, ',')) return false;
    SkipBlanksAndComments(s, scan);
    if (!ReadQuoted(s, scan, statement.value, statement.quote)) {
        // A number or truth value: one word of these characters.
        size_t start = scan.pos;
        while (scan.pos < s.size() &&
               (std::isalnum(static_cast<unsigned char>(s[scan.pos])) || std::strchr("+-.", s[scan.pos])))
            ++scan.pos;
        if (scan.pos == start) return false;
    }
    if (!ReadChar(s, scan, ')') || !ReadChar(s, scan, ';')) return false;
    statement.end = scan.pos;
    return true;
}

// Carries the comment state through the rest of a line that is not read as
// statements: strings are passed over, comments opened or closed.
void FollowComments(const std::string& s, Scan& scan) {
    while (true) {
        SkipBlanksAndComments(s, scan);
        if (scan.pos >= s.size()) return;
        std::string ignored;
        char quote = 0;
        if (!ReadQuoted(s, scan, ignored, quote)) {
            if (s[scan.pos] == '"' || s[scan.pos] == '\'') return;  // an open string ends the line
            ++scan.pos;
        }
    }
}

// The line with its comments taken out (strings stay whole).
std::string WithoutComments(const std::string& line, bool inComment) {
    std::string code;
    Scan scan;
    scan.inComment = inComment;
    while (true) {
        SkipBlanksAndComments(line, scan);
        if (scan.pos >= line.size()) return code;
        size_t start = scan.pos;
        std::string ignored;
        char quote = 0;
        if (!ReadQuoted(line, scan, ignored, quote)) {
            if (line[scan.pos] == '"' || line[scan.pos] == '\'') return code + line.substr(scan.pos);
            ++scan.pos;
        }
        code += line.substr(start, scan.pos - start);
    }
}

enum class LineKind {
    kOther,       // kept as it is
    kStatement,   // a trusted-URIs user_pref statement that was read
    kUnreadable,  // the trusted-URIs text outside comments, but not readable as statements
};

struct LineScan {
    LineKind kind = LineKind::kOther;
    Statement statement;
};

// What the line is; inComment carries an open "/* */" comment from line to line.
LineScan ScanLine(const std::string& line, bool& inComment) {
    LineScan result;
    Scan scan;
    scan.inComment = inComment;
    bool unreadable = false;
    while (true) {
        SkipBlanksAndComments(line, scan);
        if (scan.pos >= line.size()) break;
        Statement statement;
        Scan start = scan;
        if (!ReadStatement(line, scan, statement)) {
            scan = start;
            unreadable = true;
            FollowComments(line, scan);
            break;
        }
        // Of two trusted-URIs statements on a line Firefox applies the last.
        if (EqualsNoCase(statement.name, kTrustedUrisName) &&
            EqualsNoCase(line.substr(statement.begin, 9), "user_pref") && statement.quote != 0) {
            result.kind = LineKind::kStatement;
            result.statement = statement;
        }
    }
    // The text counts only where no comment hides it.
    if (unreadable && result.kind == LineKind::kOther &&
        ContainsAsciiNoCase(WithoutComments(line, inComment), kTrustedUrisText))
        result.kind = LineKind::kUnreadable;
    inComment = scan.inComment;
    return result;
}

// Firefox's own form: the line begins with the recognised text and its comma,
// only blanks stand before the double-quoted value, and ");" ends the line.
bool IsOwnForm(const std::string& body, bool startsInComment, const Statement& statement) {
    if (startsInComment || statement.begin != 0 || statement.end != body.size() || statement.quote != '"') return false;
    if (!BeginsAsciiNoCase(body, kTrustedUrisText) || body.size() <= kPositionalPrefix ||
        body[kPositionalPrefix - 1] != ',')
        return false;
    size_t quote = body.find_first_not_of(' ', kPositionalPrefix);
    if (quote == std::string::npos || body[quote] != '"' || body.compare(body.size() - 3, 3, "\");") != 0) return false;
    std::string value = statement.value;
    TrimSpaces(value);
    return PositionalList(body) == value;
}

// A single-quoted value written between double quotes: its double quotes escaped.
std::string AsDoubleQuoted(const std::string& value, char quote) {
    if (quote == '"') return value;
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            out += value.substr(i, 2);
            ++i;
        } else {
            if (value[i] == '"') out += '\\';
            out += value[i];
        }
    }
    return out;
}

// Most lines of a prefs.js are other preferences. A plain ASCII line that
// opens no comment and does not name the trusted-URIs preference is kept as
// it is without being read as statements: reading it could find nothing else.
bool PlainlyOther(const std::string& line, bool inComment) {
    return !inComment && line.find("/*") == std::string::npos && IsAscii(line) &&
           !ContainsAsciiNoCase(line, "trusted-uris");
}

// The line to write for one line of prefs.js, and what kind it was.
std::string MergeLine(const std::string& line, bool& inComment, LineKind& kind) {
    kind = LineKind::kOther;
    if (PlainlyOther(line, inComment)) return line;
    const bool hasLineEnd = !line.empty() && line.back() == '\n';
    const std::string body = hasLineEnd ? line.substr(0, line.size() - 1) : line;
    const bool startsInComment = inComment;
    LineScan scan = ScanLine(body, inComment);
    kind = scan.kind;
    if (scan.kind != LineKind::kStatement) return line;
    const Statement& statement = scan.statement;
    // A line kept because it names the site already stands for the preference
    // only when Firefox reads it as that one: to Firefox the keyword and the
    // name are case-sensitive. Otherwise the preference is still written after.
    const bool firefoxReadsIt =
        body.compare(statement.begin, 9, "user_pref") == 0 && statement.name == kTrustedUrisName;
    if (IsOwnForm(body, startsInComment, statement)) {
        std::string merged = MergeOwnFormLine(line);
        if (merged == line && !firefoxReadsIt) kind = LineKind::kOther;
        return merged;
    }

    std::string list = AsDoubleQuoted(statement.value, statement.quote);
    if (EqualsNoCase(list, site::kDomain) || NamesSiteDomain(list)) {
        if (!firefoxReadsIt) kind = LineKind::kOther;
        return line;
    }
    TrimSpaces(list);
    const std::string rewritten = list.empty() ? DefaultStatement() : MergedStatement(list);
    return body.substr(0, statement.begin) + rewritten + body.substr(statement.end) + "\n";
}

}  // namespace

std::string MergeTrustedUrisLine(const std::string& line) {
    bool inComment = false;
    LineKind kind = LineKind::kOther;
    return MergeLine(line, inComment, kind);
}

bool KeepPrefsLineAsRead(PrefsRewrite& rewrite, const std::string& line) {
    if (!PlainlyOther(line, rewrite.inComment)) return false;
    if (ContainsAsciiNoCase(line, kSspiOffText)) rewrite.sspiOffSeen = true;
    rewrite.lastLineEnded = !line.empty() && line.back() == '\n';
    return true;
}

std::string RewritePrefsLine(PrefsRewrite& rewrite, const std::string& line) {
    LineKind kind = LineKind::kOther;
    std::string out = MergeLine(line, rewrite.inComment, kind);
    if (kind != LineKind::kOther) rewrite.trustedUrisSeen = true;
    // Looked for in the line as written, which is what the next run reads: a
    // single-quoted list that holds the SSPI-off text gets it escaped there.
    if (ContainsAsciiNoCase(out, kSspiOffText)) rewrite.sspiOffSeen = true;
    rewrite.lastLineEnded = !out.empty() && out.back() == '\n';
    return out;
}

bool WantsSspiLine(const std::string& accountDomain) {
    return !ContainsAsciiNoCase(accountDomain, "WIN") && !ContainsAsciiNoCase(accountDomain, site::kDomain);
}

std::string FinishPrefsRewrite(const PrefsRewrite& rewrite, bool sspiLine) {
    std::string appended;
    if (!rewrite.trustedUrisSeen) appended += DefaultStatement() + "\n";
    if (!rewrite.sspiOffSeen && sspiLine) appended += kSspiLine;
    // A block comment the file leaves open would swallow the appended lines
    // (Firefox would never apply them, and every later run would append them
    // again): it is closed first. Closing it at the end hides nothing more.
    if (!appended.empty() && rewrite.inComment) appended.insert(0, "*/\n");
    // A last line without its line end would swallow what follows (into a
    // comment, say): it is ended first.
    if (!appended.empty() && !rewrite.lastLineEnded) appended.insert(0, "\n");
    return appended;
}

std::string RewritePrefsText(const std::string& text, const std::string& accountDomain) {
    PrefsRewrite rewrite;
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t feed = text.find('\n', start);
        std::string line;
        if (feed == std::string::npos) {
            line = text.substr(start);
            start = text.size();
        } else {
            line = text.substr(start, feed - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            line += '\n';
            start = feed + 1;
        }
        out += KeepPrefsLineAsRead(rewrite, line) ? line : RewritePrefsLine(rewrite, line);
    }
    return out + FinishPrefsRewrite(rewrite, WantsSspiLine(accountDomain));
}

}  // namespace kestrup
