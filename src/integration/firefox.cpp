#include "integration/firefox.h"

#include "driver/os_class.h"
#include "identity/principal.h"
#include "platform/file_ops.h"
#include "platform/handles.h"
#include "platform/local_path.h"
#include "platform/program_dir.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/text_file.h"
#include "platform/user_hives.h"
#include "site_constants.h"

#include <windows.h>

#include <cctype>
#include <cstring>
#include <new>
#include <vector>

// The installer runs elevated but works in folders that each user controls. So
// nothing here follows a link that a user could have planted: every folder
// below the user's profile directory, prefs.js, its backup and the temporary
// file must be plain (no reparse point, a single name), and each folder and
// prefs.js stay open, shared without delete, while they are used, so that none
// can be renamed or swapped for a link between the check and the use. prefs.js
// is read and rewritten through the one handle that was checked. Anything
// unsafe skips that profile; the other profiles and users go on.

namespace kestrup {

namespace {

constexpr char kTrustedUrisName[] = "network.negotiate-auth.trusted-uris";
constexpr char kTrustedUrisText[] = "user_pref(\"network.negotiate-auth.trusted-uris\"";
constexpr char kSspiOffText[] = "user_pref(\"network.auth.use-sspi\", false);";
constexpr char kSspiLine[] = "user_pref(\"network.auth.use-sspi\", false);\n";
constexpr char kLegacyAppData[] = "Application Data";
constexpr char kRoamingAppData[] = "AppData\\Roaming";
constexpr char kFirefoxBelowAppData[] = "\\Mozilla\\Firefox";
constexpr char kLegacyProfilesFolder[] = "Documents and Settings";
// Firefox's own form of the trusted-URIs line: its recognised text and the comma.
constexpr size_t kPositionalPrefix = 48;
constexpr size_t kMaxIniPath = 254;
constexpr int kMaxProfileSections = 100;
// A preference line longer than this is not Firefox's; such a file is left alone
// rather than read into memory whole.
constexpr size_t kMaxPrefsLine = 64u << 20;
constexpr DWORD kCopyChunk = 64u << 10;

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
    return FindNoCase(text, " " + domain) != 0 || FindNoCase(text, "," + domain) != 0 ||
           FindNoCase(text, domain + ",") != 0;
}

// Firefox's own lines: the list taken by position, everything after the 48
// characters of the recognised text and its comma.
std::string PositionalList(const std::string& line) {
    std::string list = RightPart(line, static_cast<int>(line.size()) - static_cast<int>(kPositionalPrefix));
    TrimSpaces(list);
    list = RightPart(list, static_cast<int>(list.size()) - 1);  // the opening quote
    int close = FindNoCase(list, "\");");
    if (close != 0) list = LeftPart(list, close - 1);
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
        FindNoCase(WithoutComments(line, inComment), kTrustedUrisText) != 0)
        result.kind = LineKind::kUnreadable;
    inComment = scan.inComment;
    return result;
}

// Firefox's own form: the line begins with the recognised text and its comma,
// only blanks stand before the double-quoted value, and ");" ends the line.
bool IsOwnForm(const std::string& body, bool startsInComment, const Statement& statement) {
    if (startsInComment || statement.begin != 0 || statement.end != body.size() || statement.quote != '"') return false;
    if (FindNoCase(body, kTrustedUrisText) != 1 || body.size() <= kPositionalPrefix ||
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
           FindNoCase(line, "trusted-uris") == 0;
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
    if (IsOwnForm(body, startsInComment, statement)) return MergeOwnFormLine(line);

    std::string list = AsDoubleQuoted(statement.value, statement.quote);
    if (EqualsNoCase(list, site::kDomain) || NamesSiteDomain(list)) return line;
    TrimSpaces(list);
    const std::string rewritten = list.empty() ? DefaultStatement() : MergedStatement(list);
    return body.substr(0, statement.begin) + rewritten + body.substr(statement.end) + "\n";
}

// ---- files and folders ------------------------------------------------------

bool IsNtFamily() { return QueryOsVersion().dwPlatformId == VER_PLATFORM_WIN32_NT; }

// Windows Vista and later (NT 6.x and on) keep a user's application data in
// "AppData\Roaming". "Application Data", "C:\Documents and Settings" and the
// other old names are junctions whose own access list denies reading them:
// they are never opened, and paths written through them are read as Windows
// resolves them.
bool HasRoamingAppData() {
    OSVERSIONINFOA version = QueryOsVersion();
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}

bool Describe(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    std::memset(&info, 0, sizeof info);
    return GetFileInformationByHandle(file, &info) != FALSE;
}

// A plain file with a single name: not a folder, not a reparse point.
bool IsPlainFile(const BY_HANDLE_FILE_INFORMATION& info) {
    return !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
           info.nNumberOfLinks == 1;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Opens the folder as it is (a reparse point at its name is not followed) and
// keeps it open, shared without delete, so that it can be neither renamed nor
// replaced while held. False when it is missing, not a folder, or a reparse
// point. The Windows 95 family has no reparse points and opens no folders.
bool HoldPlainFolder(const std::string& folder, std::vector<FileHandle>& held) {
    // A link is refused by its attributes first, so that none is ever opened
    // (the system's own junctions deny it); the handle checks again.
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    if (!IsNtFamily()) return true;
    FileHandle handle(CreateFileA(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!handle || !Describe(handle.get(), info)) return false;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    held.push_back(std::move(handle));
    return true;
}

bool BeginsWithNoCase(const std::string& text, const std::string& start) {
    return text.size() >= start.size() && FindNoCase(text.substr(0, start.size()), start) == 1;
}

// Holds every folder of folder below top (top, with its trailing backslash,
// excluded), from the top down.
bool HoldFoldersBelow(const std::string& top, const std::string& folder, std::vector<FileHandle>& held) {
    if (!BeginsWithNoCase(folder, top)) return false;
    size_t start = top.size();
    while (start < folder.size()) {
        size_t end = folder.find('\\', start);
        if (end == std::string::npos) end = folder.size();
        if (!HoldPlainFolder(folder.substr(0, end), held)) return false;
        start = end + 1;
    }
    return true;
}

// The path as Windows reads it: repeated backslashes as one, "." dropped, ".."
// taking away the folder before it. root receives the drive ("C:\") or share
// ("\\server\share\"). False for a path that is neither, or that climbs above
// its root.
bool NormalisePath(const std::string& path, std::string& normal, std::string& root) {
    size_t pos;
    if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && path[2] == '\\') {
        root = path.substr(0, 3);
        pos = 3;
    } else if (path.compare(0, 2, "\\\\") == 0) {
        size_t server = path.find('\\', 2);
        size_t share = server == std::string::npos ? std::string::npos : path.find('\\', server + 1);
        if (server == std::string::npos || server == 2 || share == std::string::npos || share == server + 1)
            return false;
        root = path.substr(0, share + 1);
        pos = share + 1;
    } else {
        return false;
    }
    std::vector<std::string> parts;
    while (pos <= path.size()) {
        size_t end = path.find('\\', pos);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(pos, end - pos);
        if (part == "..") {
            if (parts.empty()) return false;
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    normal = root;
    for (size_t i = 0; i < parts.size(); ++i) normal += (i ? "\\" : "") + parts[i];
    return true;
}

// The user's application-data folder below the profile directory.
std::string ApplicationDataFolder(const std::string& profileBase) {
    return profileBase + (HasRoamingAppData() ? kRoamingAppData : kLegacyAppData);
}

// Where old names lead on Windows Vista and later: "C:\Documents and Settings"
// to the profiles folder, the user's own "Application Data" to AppData\Roaming.
struct CompatibilityNames {
    std::string legacyProfiles;  // "C:\Documents and Settings\", empty when unknown
    std::string profiles;        // the profiles folder with its trailing backslash
};

CompatibilityNames FindCompatibilityNames() {
    CompatibilityNames names;
    std::string windows, profiles;
    if (!HasRoamingAppData() || !WindowsDirectory(windows) || windows.size() < 3 ||
        !RegReadString(HKEY_LOCAL_MACHINE, kProfileListKey, "ProfilesDirectory", profiles) || profiles.empty())
        return names;
    names.legacyProfiles = windows.substr(0, 3) + kLegacyProfilesFolder + "\\";
    names.profiles = profiles;
    AddTrailingBackslash(names.profiles);
    return names;
}

// The path with a leading old name replaced by the folder it leads to.
std::string ThroughCompatibilityNames(std::string path, const std::string& profileBase,
                                      const CompatibilityNames& names) {
    if (!HasRoamingAppData()) return path;
    if (!names.legacyProfiles.empty() && BeginsWithNoCase(path, names.legacyProfiles))
        path = names.profiles + path.substr(names.legacyProfiles.size());
    const std::string legacyAppData = profileBase + kLegacyAppData + "\\";
    if (BeginsWithNoCase(path, legacyAppData))
        path = profileBase + kRoamingAppData + "\\" + path.substr(legacyAppData.size());
    return path;
}

// Opens a file as it is, for reading, shared without delete, and checks that
// it is a plain file with a single name.
bool OpenPlainFile(const std::string& path, FileHandle& file, BY_HANDLE_FILE_INFORMATION& info) {
    file = FileHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file && Describe(file.get(), info) && IsPlainFile(info);
}

bool SeekTo(HANDLE file, DWORD offset) {
    LONG high = 0;
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(file, static_cast<LONG>(offset), &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

// Copies everything from one open file into another, from their current positions.
bool CopyContents(HANDLE from, HANDLE to) {
    std::vector<char> buffer(kCopyChunk);
    while (true) {
        DWORD read = 0;
        if (!ReadFile(from, buffer.data(), kCopyChunk, &read, nullptr)) return false;
        if (read == 0) return true;
        if (!WriteBytes(to, buffer.data(), read)) return false;
    }
}

// Takes the backup once, as a new file with prefs.js's contents, or checks
// the backup that is there. False when the profile must be left alone.
bool TakeOrCheckBackup(HANDLE prefs, const std::string& backupPath) {
    if (GetFileAttributesA(backupPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        // An existing backup is never replaced; it is only looked at.
        FileHandle existing(CreateFileA(backupPath.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION info;
        return existing && Describe(existing.get(), info) && IsPlainFile(info);
    }
    FileHandle backup(CreateFileA(backupPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!backup) {
        // Something appeared at the name since the look above: not ours to touch.
        DWORD error = GetLastError();
        return error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS;
    }
    bool copied = SeekTo(prefs, 0) && CopyContents(prefs, backup.get());
    if (!FlushAndClose(backup) || !copied) {
        // A partial backup would stand for good in place of the real one. Only
        // the name goes, whatever it leads to now.
        DeleteFileA(backupPath.c_str());
    }
    return true;
}

// A plain file left at the temporary name by an earlier run is removed;
// anything else there leaves the profile alone. DeleteFileA removes the name
// only, whatever it was swapped for meanwhile.
bool RemoveLeftoverTemporary(const std::string& tempPath) {
    DWORD attributes = GetFileAttributesA(tempPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    return DeleteFileA(tempPath.c_str()) != FALSE;
}

// The domain of the account that runs the installer, asked once for all the
// files of a run and only when a file needs it.
class InstallingAccountDomain {
public:
    const std::string& Get() {
        if (!asked_) {
            std::string user;
            GetUserAndDomain(user, domain_);  // a failure leaves it empty
            asked_ = true;
        }
        return domain_;
    }

private:
    bool asked_ = false;
    std::string domain_;
};

// Writes the rewritten preferences into the temporary file. False on any
// failure to read or write.
bool WriteRewrittenPrefs(HANDLE prefs, HANDLE temp, InstallingAccountDomain& account) {
    if (!SeekTo(prefs, 0)) return false;
    LineReader reader;
    StartReading(reader, prefs, kMaxPrefsLine);
    TextWriter writer;
    StartWriting(writer, temp);
    bool trustedUrisSeen = false, sspiOffSeen = false, inComment = false, lastLineEnded = true;
    std::string line;
    bool hasLineEnd = false;
    while (ReadLine(reader, line, hasLineEnd)) {
        if (hasLineEnd) line += '\n';
        if (FindNoCase(line, kSspiOffText) != 0) sspiOffSeen = true;
        if (PlainlyOther(line, inComment)) {
            if (!WriteText(writer, line)) return false;  // most lines: written as read, without a copy
            lastLineEnded = hasLineEnd;
            continue;
        }
        LineKind kind = LineKind::kOther;
        const std::string out = MergeLine(line, inComment, kind);
        if (kind != LineKind::kOther) trustedUrisSeen = true;
        if (!WriteText(writer, out)) return false;
        lastLineEnded = !out.empty() && out.back() == '\n';
    }
    if (reader.failed) return false;

    std::string appended;
    if (!trustedUrisSeen) appended += DefaultStatement() + "\n";
    if (!sspiOffSeen) {
        // The account that runs the installer decides, for every user's files.
        const std::string& domain = account.Get();
        if (FindNoCase(domain, "WIN") == 0 && FindNoCase(domain, site::kDomain) == 0) appended += kSspiLine;
    }
    // A last line without its line end would swallow what follows (into a
    // comment, say): it is ended first.
    if (!appended.empty() && !lastLineEnded) appended.insert(0, "\n");
    return WriteText(writer, appended) && FinishWriting(writer);
}

// Puts the temporary file's contents into prefs.js through a handle on the very
// file that was checked. The room for the new contents is taken first, so a
// full disk leaves prefs.js as it was.
bool CopyBack(const std::string& prefsPath, const BY_HANDLE_FILE_INFORMATION& checked, HANDLE temp) {
    // Only the size is needed here (a full description also asks for the volume).
    DWORD newSizeHigh = 0;
    SetLastError(NO_ERROR);
    const DWORD newSize = GetFileSize(temp, &newSizeHigh);
    if ((newSize == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || newSizeHigh != 0) return false;
    // A read-only prefs.js is replaced too (the file is still held, so this is it).
    SetFileAttributesA(prefsPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    FileHandle out(CreateFileA(prefsPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION outInfo;
    if (!out || !Describe(out.get(), outInfo) || !IsPlainFile(outInfo) || !SameFile(outInfo, checked)) return false;
    if (newSize > outInfo.nFileSizeLow && (!SeekTo(out.get(), newSize) || !SetEndOfFile(out.get()))) return false;
    bool copied = SeekTo(out.get(), 0) && SeekTo(temp, 0) && CopyContents(temp, out.get()) &&
                  SeekTo(out.get(), newSize) && SetEndOfFile(out.get());
    return FlushAndClose(out) && copied;
}

// ---- profiles.ini -------------------------------------------------------------

void RewriteHeldPrefsFile(const std::string& prefsPath, InstallingAccountDomain& account);

// One user's Firefox profiles, from profiles.ini below the profile directory.
void ConfigureUserProfiles(const std::string& profileDirectory, const CompatibilityNames& names,
                           InstallingAccountDomain& account) {
    if (profileDirectory.empty()) return;
    std::string profileBase = profileDirectory;
    AddTrailingBackslash(profileBase);
    const std::string appData = ApplicationDataFolder(profileBase);
    const std::string firefoxFolder = appData + kFirefoxBelowAppData;
    const std::string iniPath = firefoxFolder + "\\profiles.ini";
    // Paths that do not fit are never used cut.
    if (iniPath.size() > kMaxIniPath || !FileExists(iniPath)) return;

    std::vector<FileHandle> held;
    if (!HoldFoldersBelow(profileBase, firefoxFolder, held)) return;
    FileHandle ini;
    BY_HANDLE_FILE_INFORMATION iniInfo;
    if (!OpenPlainFile(iniPath, ini, iniInfo)) return;

    for (int i = 0; i < kMaxProfileSections; ++i) {
        const std::string section = "Profile" + IntToText(i);
        char value[MAX_PATH] = {};
        DWORD length = GetPrivateProfileStringA(section.c_str(), "Path", "", value, MAX_PATH, iniPath.c_str());
        if (length == 0) break;  // the first section without a Path ends the list
        if (length >= MAX_PATH - 1) continue;  // possibly cut
        const bool relative = GetPrivateProfileIntA(section.c_str(), "IsRelative", 0, iniPath.c_str()) == 1;
        std::string folder = relative ? firefoxFolder + "\\" + value : std::string(value);
        AddTrailingBackslash(folder);
        std::string prefsPath = folder + "prefs.js";
        ReplaceChar(prefsPath, "/", "\\");
        std::string root;
        if (!NormalisePath(prefsPath, prefsPath, root) ||
            !NormalisePath(ThroughCompatibilityNames(prefsPath, profileBase, names), prefsPath, root))
            continue;
        // The user's own file names it: a share would make the installer authenticate to a host of theirs.
        if (!IsOnLocalFixedDisk(prefsPath)) continue;
        if (prefsPath.size() + std::strlen(".BACKUP") >= MAX_PATH) continue;
        if (!FileExists(prefsPath)) continue;

        std::string profileFolder = prefsPath;
        StripFileName(profileFolder);
        std::vector<FileHandle> profileHeld;
        // Below the Firefox folder (the usual relative profile) the folders up
        // to it are held already; only those below are taken.
        const std::string firefoxTop = firefoxFolder + "\\";
        const bool belowFirefox = BeginsWithNoCase(profileFolder + "\\", firefoxTop);
        const std::string top = BeginsWithNoCase(profileFolder + "\\", profileBase) ? profileBase : root;
        if (!(belowFirefox ? HoldFoldersBelow(firefoxTop, profileFolder + "\\", profileHeld)
                           : HoldFoldersBelow(top, profileFolder, profileHeld)))
            continue;
        // A prefs.js with a line the 32-bit installer cannot hold costs that
        // profile only; every handle is released on the way out.
        try {
            RewriteHeldPrefsFile(prefsPath, account);
        } catch (const std::bad_alloc&) {
        }
    }
}

// Rewrites one prefs.js whose folder the caller holds.
void RewriteHeldPrefsFile(const std::string& prefsPath, InstallingAccountDomain& account) {
    const std::string backupPath = prefsPath + ".BACKUP";
    const std::string tempPath = prefsPath + ".TEMP";
    if (backupPath.size() >= MAX_PATH) return;

    FileHandle prefs;
    BY_HANDLE_FILE_INFORMATION prefsInfo;
    if (!OpenPlainFile(prefsPath, prefs, prefsInfo) || prefsInfo.nFileSizeHigh != 0) return;
    if (!TakeOrCheckBackup(prefs.get(), backupPath)) return;
    if (!RemoveLeftoverTemporary(tempPath)) return;

    // On the NT family the temporary file goes when its handle is closed,
    // whatever happens; nobody can put anything in its place before that.
    const bool ntFamily = IsNtFamily();
    FileHandle temp(CreateFileA(tempPath.c_str(), GENERIC_READ | GENERIC_WRITE | (ntFamily ? DELETE : 0),
                                FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                                    (ntFamily ? FILE_FLAG_DELETE_ON_CLOSE : 0),
                                nullptr));
    if (!temp) return;
    // Only a temporary file written completely is copied over prefs.js.
    bool complete = WriteRewrittenPrefs(prefs.get(), temp.get(), account) && FlushFileBuffers(temp.get());
    bool copied = complete && CopyBack(prefsPath, prefsInfo, temp.get());
    temp.reset();
    if (!ntFamily && (copied || !complete)) {
        std::string errorText;
        bool deferred = false;
        DeleteFileOrDefer(tempPath, errorText, deferred);
    }
}

}  // namespace

void ConfigureFirefoxProfiles() {
    const CompatibilityNames names = FindCompatibilityNames();
    InstallingAccountDomain account;
    for (const std::string& directory : ListProfileDirectories()) ConfigureUserProfiles(directory, names, account);
}

void RewritePrefsFile(const std::string& prefsPath) {
    std::string folder = prefsPath;
    StripFileName(folder);
    std::vector<FileHandle> held;
    if (folder.empty() || !HoldPlainFolder(folder, held)) return;
    InstallingAccountDomain account;
    RewriteHeldPrefsFile(prefsPath, account);
}

std::string MergeTrustedUrisLine(const std::string& line) {
    bool inComment = false;
    LineKind kind = LineKind::kOther;
    return MergeLine(line, inComment, kind);
}

}  // namespace kestrup
