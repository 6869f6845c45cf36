#include "platform/run_log.h"

#include "platform/file_ops.h"
#include "platform/safe_files.h"
#include "platform/system_library.h"
#include "platform/text.h"
#include "platform/text_file.h"

#include <windows.h>
#include <msi.h>

#include <algorithm>
#include <cctype>
#include <set>

namespace kestrup {

namespace {

RunLog* g_runLog = nullptr;

constexpr int kFurtherNames = 9;
// What msiexec's "/l*v" writes: every kind of message, verbose, no extra debugging.
constexpr DWORD kInstallerLogMode =
    INSTALLLOGMODE_FATALEXIT | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_WARNING | INSTALLLOGMODE_USER |
    INSTALLLOGMODE_INFO | INSTALLLOGMODE_RESOLVESOURCE | INSTALLLOGMODE_OUTOFDISKSPACE | INSTALLLOGMODE_ACTIONSTART |
    INSTALLLOGMODE_ACTIONDATA | INSTALLLOGMODE_COMMONDATA | INSTALLLOGMODE_PROPERTYDUMP | INSTALLLOGMODE_VERBOSE;
// Room kept for the line that says what the bound dropped.
constexpr size_t kClosingRoom = 200;

std::string Digits(unsigned value, size_t width) {
    std::string text(width, '0');
    for (size_t i = width; i-- > 0; value /= 10) text[i] = static_cast<char>('0' + value % 10);
    return text;
}

// "kestrup-YYYYMMDD-HHMMSS", optionally "-N": the part of a name that tells
// which run a file belongs to; empty for a name of no run.
std::string RunStem(const std::string& name) {
    const std::string stem = name.substr(0, name.find('.'));
    const size_t prefix = sizeof kRunLogPrefix - 1;
    auto digits = [&stem](size_t from, size_t count) {
        return std::all_of(stem.begin() + from, stem.begin() + from + count,
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
    };
    const size_t plain = prefix + 15;  // the date, a dash, the time
    const bool shaped =
        (stem.size() == plain || (stem.size() == plain + 2 && stem[plain] == '-' && digits(plain + 1, 1))) &&
        stem.compare(0, prefix, kRunLogPrefix) == 0 && digits(prefix, 8) && stem[prefix + 8] == '-' &&
        digits(prefix + 9, 6);
    // The run's log, or one beside it: "<stem>.log", "<stem>.<what>.log".
    const std::string rest = name.substr(stem.size());
    const bool logName = rest == ".log" || (rest.size() > 5 && rest.compare(rest.size() - 4, 4, ".log") == 0 &&
                                            rest.find('.', 1) == rest.size() - 4);
    return shaped && logName ? stem : std::string();
}

// Open, and every folder on the way held plain; missing folders are made.
bool HoldLogFolder(std::vector<FileHandle>& held, std::string& folder) {
    std::string windows;
    if (!WindowsDirectory(windows)) return false;
    AddTrailingBackslash(windows);
    folder = windows;
    for (const char* part : {"Logs", "Kestrup"}) {
        folder += part;
        if (GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) CreateDirectoryA(folder.c_str(), nullptr);
        if (!HoldPlainFolder(folder, held)) return false;
        folder += "\\";
    }
    return true;
}

// A new plain file at path, never one that is there already or a link's target.
FileHandle CreateNewFile(const std::string& path, DWORD access) {
    return FileHandle(CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

std::string TimeStamp(const SYSTEMTIME& t) {
    return Digits(t.wYear, 4) + Digits(t.wMonth, 2) + Digits(t.wDay, 2) + "-" + Digits(t.wHour, 2) +
           Digits(t.wMinute, 2) + Digits(t.wSecond, 2);
}

}  // namespace

RunLog::RunLog() {
    if (g_runLog || !HoldLogFolder(held_, folder_)) return;
    SYSTEMTIME now;
    GetSystemTime(&now);
    const std::string base = kRunLogPrefix + TimeStamp(now);
    // Something at the name (a run in the same second, or anything planted)
    // is never opened: the next name is taken, and after the last none.
    for (int n = 0; n <= kFurtherNames && !file_; ++n) {
        stem_ = n == 0 ? base : base + "-" + Digits(static_cast<unsigned>(n), 1);
        file_ = CreateNewFile(folder_ + stem_ + ".log", GENERIC_WRITE);
        const DWORD error = GetLastError();
        if (!file_ && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    if (!file_) return;
    g_runLog = this;
    RemoveOldRuns();
}

RunLog::~RunLog() {
    if (!file_) return;
    if (droppedLines_ > 0) {
        const std::string line =
            IntToText(static_cast<int>(droppedLines_)) + " more lines (" + IntToText(static_cast<int>(droppedBytes_)) +
            " bytes) dropped: the log is kept within " + IntToText(static_cast<int>(kRunLogLimit >> 20)) + " MB\r\n";
        WriteBytes(file_.get(), line.data(), line.size());
    }
    g_runLog = nullptr;
}

void RunLog::Write(const std::string& line) {
    if (!file_) return;
    SYSTEMTIME now;
    GetSystemTime(&now);
    std::string text = Digits(now.wHour, 2) + ":" + Digits(now.wMinute, 2) + ":" + Digits(now.wSecond, 2) + " ";
    // A message of several lines stays one entry: its further lines indented.
    for (char c : line) {
        if (c == '\r') continue;
        text += c == '\n' ? std::string("\r\n    ") : std::string(1, c);
    }
    text += "\r\n";
    // Once one line is dropped, every later one is too, so the log has no gap.
    if (droppedLines_ > 0 || written_ + text.size() > kRunLogLimit - kClosingRoom) {
        ++droppedLines_;
        droppedBytes_ += text.size();
        return;
    }
    // A full disk ends the log; the run goes on.
    if (!WriteBytes(file_.get(), text.data(), text.size())) {
        file_.reset();
        g_runLog = nullptr;
        return;
    }
    written_ += text.size();
}

std::string RunLog::MakeCompanion(const std::string& what) {
    if (folder_.empty() || stem_.empty()) return "";
    // Only a plain name: a product code read from the registry names no other folder or stream.
    std::string name = what;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '{' && c != '}' && c != '-') c = '_';
    const std::string path = folder_ + stem_ + "." + name + ".log";
    return CreateNewFile(path, GENERIC_WRITE) ? path : std::string();
}

void RunLog::RemoveOldRuns() const {
    WIN32_FIND_DATAA found;
    FindHandle search(FindFirstFileA((folder_ + kRunLogPrefix + "*").c_str(), &found));
    if (!search) return;
    std::vector<std::string> names;
    std::set<std::string> stems;
    do {
        const std::string name = found.cFileName;
        const std::string stem = RunStem(name);
        // Only plain files of earlier runs: a folder or link of that name is not ours.
        if (stem.empty() || stem == stem_ ||
            (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            continue;
        names.push_back(name);
        stems.insert(stem);
    } while (FindNextFileA(search.get(), &found));
    search.reset();
    // This run is one of the ten kept; names sort as the runs came.
    if (stems.size() < kRunLogsKept) return;
    auto oldest = stems.begin();
    std::advance(oldest, stems.size() - (kRunLogsKept - 1));
    const std::set<std::string> removed(stems.begin(), oldest);
    for (const std::string& name : names)
        if (removed.count(RunStem(name))) DeleteFileA((folder_ + name).c_str());
}

void WriteRunLog(const std::string& line) {
    if (!g_runLog) return;
    const DWORD lastError = GetLastError();
    g_runLog->Write(line);
    SetLastError(lastError);
}

std::string MakeRunLogCompanion(const std::string& what) {
    if (!g_runLog) return "";
    const DWORD lastError = GetLastError();
    std::string path = g_runLog->MakeCompanion(what);
    SetLastError(lastError);
    return path;
}

void EnableInstallerLog(const RuntimeLibrary& msi, const std::string& what) {
    // By name: an ordinal is only as sure as the table it was read from, and a
    // wrong one would be called with this call's arguments.
    auto enableLog = msi.Find<decltype(&::MsiEnableLogA)>("MsiEnableLogA");
    if (!enableLog) return;
    // Made here as a new plain file, so Windows Installer (which would follow a
    // link) finds one at the name and only replaces its contents.
    const std::string path = MakeRunLogCompanion(what);
    if (path.empty()) return;
    const UINT result = enableLog(kInstallerLogMode, path.c_str(), 0);
    WriteRunLog("Windows Installer's log: " + path +
                (result == ERROR_SUCCESS ? std::string()
                                         : " (not enabled: error " + IntToText(static_cast<int>(result)) + ")"));
}

}  // namespace kestrup
