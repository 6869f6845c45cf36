#include "platform/file_ops.h"

#include "platform/handles.h"
#include "platform/launch.h"
#include "platform/os_version.h"
#include "platform/program_dir.h"
#include "platform/safe_files.h"
#include "platform/text.h"
#include "platform/text_file.h"

#include <windows.h>

namespace kestrup {

namespace {

std::string WininitFailure(const std::string& wininitPath) {
    return "Unable to write to file: " + wininitPath + " to WININIT.INI";
}

// A WININIT.INI this large is not one Windows wrote or reads.
constexpr DWORD kMaxWininitSize = 1u << 20;

// The file's whole text, read from its start.
bool ReadWhole(HANDLE file, std::string& text) {
    text.clear();
    DWORD sizeHigh = 0;
    SetLastError(NO_ERROR);
    const DWORD size = GetFileSize(file, &sizeHigh);
    if ((size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || sizeHigh != 0 || size > kMaxWininitSize ||
        SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    text.resize(size);
    DWORD read = 0;
    return size == 0 || (ReadFile(file, &text[0], size, &read, nullptr) && read == size);
}

// Where a line of the "[rename]" section goes: the end of that section (the
// start of the next section's header, or the end of the file); npos when the
// file has no such section.
size_t RenameSectionEnd(const std::string& text) {
    bool inRename = false;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(pos, next - pos);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        TrimSpaces(line);
        if (!line.empty() && line[0] == '[') {
            if (inRename) return pos;
            inRename = EqualsNoCase(line, "[rename]");
        }
        pos = next;
    }
    return inRename ? text.size() : std::string::npos;
}

// The Windows 95 family deletes the files named by "NUL=" lines of the
// "[rename]" section of WININIT.INI when it next starts.
bool AddWininitDeletion(const std::string& path, std::string& errorText) {
    std::string wininitPath;
    WindowsDirectory(wininitPath);  // when unknown: the root of the current drive
    AddTrailingBackslash(wininitPath);
    wininitPath += "WININIT.INI";

    if (!FileExists(wininitPath)) {
        // CREATE_NEW: a WININIT.INI that appears meanwhile is appended to, never emptied.
        FileHandle created(
            CreateFileA(wininitPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (created) {
            bool written = WriteText(created.get(), "[rename]\n");
            if (!FlushAndClose(created) || !written) {
                errorText = WininitFailure(wininitPath);
                return false;
            }
        } else if (GetLastError() != ERROR_FILE_EXISTS) {
            errorText = WininitFailure(wininitPath);
            return false;
        }
    }

    char shortPath[MAX_PATH] = {};
    DWORD length = GetShortPathNameA(path.c_str(), shortPath, MAX_PATH);
    const std::string target = length == 0 || length >= MAX_PATH ? path : std::string(shortPath, length);
    const std::string line = "NUL=" + target;
    // An entry that does not fit the line Windows reads is not written cut.
    if (line.size() >= MAX_PATH) {
        errorText = WininitFailure(wininitPath);
        return false;
    }
    FileHandle wininit(CreateFileA(wininitPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    if (!wininit || !ReadWhole(wininit.get(), text)) {
        errorText = WininitFailure(wininitPath);
        return false;
    }
    // Windows reads the deletions only under "[rename]": the line goes at the
    // end of that section, or into one added at the end. Everything before the
    // line stays as it is, everything after it is written back unchanged.
    size_t at = RenameSectionEnd(text);
    std::string entry = line + "\n";
    if (at == std::string::npos) {
        at = text.size();
        entry = "[rename]\n" + entry;
    }
    // A last line without its line end is ended first, or the entry would be glued to it.
    if (at == text.size() && !text.empty() && text.back() != '\n') entry = "\n" + entry;
    bool written = SeekTo(wininit.get(), static_cast<DWORD>(at)) && WriteText(wininit.get(), entry) &&
                   WriteBytes(wininit.get(), text.data() + at, text.size() - at);
    if (!FlushAndClose(wininit) || !written) {
        errorText = WininitFailure(wininitPath);
        return false;
    }
    return true;
}

}  // namespace

bool CopyFileOver(const std::string& source, const std::string& destination, std::string& errorText) {
    errorText.clear();
    SetFileAttributesA(destination.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (CopyFileA(source.c_str(), destination.c_str(), FALSE)) return true;
    errorText = LastErrorText();
    return false;
}

bool DeleteFileOrDefer(const std::string& path, std::string& errorText, bool& deferred) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    deferred = false;
    errorText.clear();
    if (DeleteFileA(path.c_str())) return true;
    deferred = ScheduleDeleteAtRestart(path, errorText);
    return deferred;
}

bool ScheduleDeleteAtRestart(const std::string& path, std::string& errorText) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    errorText.clear();
    if (IsNtFamily()) {
        if (MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return true;
        errorText = LastErrorText();
        return false;
    }
    return AddWininitDeletion(path, errorText);
}

bool WindowsDirectory(std::string& directory) {
    directory.clear();
    char buffer[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryA(buffer, MAX_PATH);
    // A longer directory does not fit: Windows then answers the size it needs.
    if (length == 0 || length >= MAX_PATH) return false;
    directory.assign(buffer, length);
    return true;
}

}  // namespace kestrup
