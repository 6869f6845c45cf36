// A small command interpreter for started batch files. It reads the file as
// cmd.exe does (shared for reading and writing, so an editor may hold it) and
// understands "@echo off" and lines of the form  program args [> file | >> file],
// the program quoted or not. The program runs as the machine's Program for its
// path: its output goes to the redirection file, opened as cmd.exe opens it
// (following links, shared for reading and writing), before the program starts.
#include "batch.h"

#include <windows.h>

#include <vector>

namespace winsim {

namespace {

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

std::string ReadWhole(const std::string& path, bool* ok) {
    *ok = false;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return "";
    std::string text;
    char buffer[512];
    DWORD n = 0;
    while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
    CloseHandle(f);
    *ok = true;
    return text;
}

struct CommandLine {
    std::string command;
    std::string target;  // redirection file, empty when none
    bool append = false;
};

CommandLine Split(const std::string& line) {
    CommandLine out;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] != '>' || quoted) continue;
        out.command = Trim(line.substr(0, i));
        out.append = i + 1 < line.size() && line[i + 1] == '>';
        std::string rest = Trim(line.substr(i + (out.append ? 2 : 1)));
        if (!rest.empty() && rest[0] == '"') {
            size_t end = rest.find('"', 1);
            out.target = rest.substr(1, end == std::string::npos ? std::string::npos : end - 1);
        } else {
            out.target = rest.substr(0, rest.find_first_of(" \t"));
        }
        return out;
    }
    out.command = Trim(line);
    return out;
}

}  // namespace

bool IsBatchFile(const std::string& path) {
    std::string upper = UpperAscii(path);
    auto endsWith = [&](const char* ext) { return upper.size() > 4 && upper.compare(upper.size() - 4, 4, ext) == 0; };
    return endsWith(".BAT") || endsWith(".CMD");
}

DWORD BatchStartError(Machine& m, const std::string& path) {
    return winsim::Inside(m).FileSharingConflict(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, false)
               ? ERROR_SHARING_VIOLATION
               : 0;
}

DWORD RunBatchFile(Machine& m, const std::string& path) {
    bool ok = false;
    std::string text = ReadWhole(path, &ok);
    if (!ok) return 1;
    DWORD exitCode = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = Trim(line);
        if (!line.empty() && line[0] == '@') line = Trim(line.substr(1));
        if (line.empty() || UpperAscii(line) == "ECHO OFF") continue;

        CommandLine c = Split(line);
        HANDLE out = INVALID_HANDLE_VALUE;
        if (!c.target.empty()) {
            out = CreateFileA(c.target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              c.append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (out == INVALID_HANDLE_VALUE) {  // "The process cannot access the file ...": not run
                exitCode = 1;
                continue;
            }
            if (c.append) {
                winsim::Handle* h = winsim::Inside(m).GetHandle(out, "file");
                h->filePos = m.FindFile(h->filePath)->data.size();
            }
        }
        ProcessStart start;
        start.commandLine = c.command;
        start.program = m.ResolveProgram("", c.command);
        m.batchCommands.push_back(start);
        auto program = m.Programs().find(start.program);
        std::string output;
        if (start.program.empty()) {
            exitCode = 9009;  // "is not recognized as an internal or external command"
        } else if (program == m.Programs().end()) {
            exitCode = 0;
        } else if (program->second.startError) {
            exitCode = 1;
        } else {
            if (program->second.run) program->second.run(start);
            exitCode = program->second.exitCode;
            output = program->second.output;
        }
        if (out != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            if (!output.empty()) WriteFile(out, output.data(), static_cast<DWORD>(output.size()), &written, nullptr);
            CloseHandle(out);
        }
    }
    return exitCode;
}

}  // namespace winsim
