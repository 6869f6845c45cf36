#include "platform/file_ops.h"

#include "platform/handles.h"
#include "platform/launch.h"
#include "platform/os_version.h"
#include "platform/program_dir.h"
#include "platform/text.h"
#include "platform/text_file.h"

#include <windows.h>

namespace kestrup {

namespace {

std::string WininitFailure(const std::string& wininitPath) {
    return "Unable to write to file: " + wininitPath + " to WININIT.INI";
}

// Whether the open file is empty or ends with a line feed.
bool LastLineEnded(HANDLE file, bool& ended) {
    ended = true;
    DWORD size = SetFilePointer(file, 0, nullptr, FILE_END);
    if (size == INVALID_SET_FILE_POINTER) return false;
    if (size == 0) return true;
    char last = 0;
    DWORD read = 0;
    if (SetFilePointer(file, -1, nullptr, FILE_END) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file, &last, 1, &read, nullptr) || read != 1)
        return false;
    ended = last == '\n';
    return true;
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
    bool lastLineEnded = true;
    if (!wininit || !LastLineEnded(wininit.get(), lastLineEnded) ||
        SetFilePointer(wininit.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER) {
        errorText = WininitFailure(wininitPath);
        return false;
    }
    // A last line without its line end is ended first, or the entry would be glued to it.
    bool written = WriteText(wininit.get(), (lastLineEnded ? "" : "\n") + line + "\n");
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
