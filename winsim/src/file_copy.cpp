// File copies, delayed deletions, file identity, the file pointer and flushing
// over the machine's file table.
#include <windows.h>
#include "internals.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

using winsim::FileEntry;
using winsim::Machine;

namespace {

BOOL Fail(Machine& m, DWORD error) {
    m.lastError = error;
    return FALSE;
}

// The entry an open of path reaches: links on the way and at the name followed.
FileEntry* Reach(Machine& m, const std::string& path, std::string& reached) {
    reached = m.RealPath(path);
    FileEntry* e = m.FindFile(reached);
    for (int hops = 0; e && !e->linkTarget.empty() && hops < 32; ++hops) {
        reached = m.RealPath(e->linkTarget);
        e = m.FindFile(reached);
    }
    if (e) reached = e->path;
    return e;
}

winsim::Handle* FileHandleOf(Machine& m, HANDLE h) { return winsim::Inside(m).GetHandle(h, "file"); }

}  // namespace

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    Machine& m = winsim::Call("CopyFileA");
    std::string sourcePath, destinationPath;
    FileEntry* source = Reach(m, lpExistingFileName ? lpExistingFileName : "", sourcePath);
    if (!source) return Fail(m, ERROR_FILE_NOT_FOUND);
    if (source->directory) return Fail(m, ERROR_ACCESS_DENIED);
    if (winsim::Inside(m).FileSharingConflict(sourcePath, GENERIC_READ, FILE_SHARE_READ, false))
        return Fail(m, ERROR_SHARING_VIOLATION);
    winsim::WaitForOplock(*source, GENERIC_READ);
    const std::string data = source->data;
    const DWORD attributes = source->attributes & ~(DWORD)FILE_ATTRIBUTE_REPARSE_POINT;

    m.CountChange();
    FileEntry* destination = Reach(m, lpNewFileName ? lpNewFileName : "", destinationPath);
    if (destination) {
        if (bFailIfExists) return Fail(m, ERROR_FILE_EXISTS);
        if (destination->directory || (destination->attributes & FILE_ATTRIBUTE_READONLY))
            return Fail(m, ERROR_ACCESS_DENIED);
        if (winsim::Inside(m).FileSharingConflict(destinationPath, GENERIC_WRITE, 0, false))
            return Fail(m, ERROR_SHARING_VIOLATION);
        winsim::WaitForOplock(*destination, GENERIC_WRITE);
    } else {
        size_t slash = destinationPath.find_last_of('\\');
        FileEntry* parent = slash == std::string::npos ? nullptr : m.FindFile(destinationPath.substr(0, slash));
        bool rootParent = slash == 2 && destinationPath[1] == ':';
        if (!rootParent && (!parent || !parent->directory)) return Fail(m, ERROR_PATH_NOT_FOUND);
        m.AddFile(destinationPath, "", attributes);
        destination = m.FindFile(destinationPath);
    }
    // Like WriteFile: a full disk takes what fits of the copy, which then fails.
    size_t n = data.size();
    bool full = m.diskSpace >= 0 && static_cast<long long>(n) > m.diskSpace;
    if (full) n = static_cast<size_t>(m.diskSpace);
    destination->data = data.substr(0, n);
    if (m.diskSpace >= 0) m.diskSpace -= static_cast<long long>(n);
    if (full) return Fail(m, ERROR_DISK_FULL);
    destination->attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    m.lastError = ERROR_SUCCESS;
    return TRUE;
}

namespace {

// Gives the file named from (not followed) the name to, as Windows renames: on
// the same volume only, the file shared for deletion by every other handle; a
// file at to is replaced only when asked, and only when it is neither a
// folder, read-only nor open (Windows cannot remove a name in use). 0 or the error.
DWORD Rename(Machine& m, const std::string& fromName, const std::string& toName, bool replace, HANDLE renaming) {
    auto& in = winsim::Inside(m);
    const std::string from = m.RealPath(fromName), to = m.RealPath(toName);
    auto heldOpen = [&](const std::string& path, bool unlessSharedForDeletion) {
        for (auto& [id, h] : in.handles)
            if (h.kind == "file" && winsim::UpperAscii(h.filePath) == winsim::UpperAscii(path) &&
                reinterpret_cast<HANDLE>(id) != renaming &&
                !(unlessSharedForDeletion && (h.fileShare & FILE_SHARE_DELETE)))
                return true;
        return false;
    };
    auto source = in.files.find(from);
    if (source == in.files.end()) return ERROR_FILE_NOT_FOUND;
    if (winsim::UpperAscii(from.substr(0, 1)) != winsim::UpperAscii(to.substr(0, 1))) return ERROR_NOT_SAME_DEVICE;
    if (heldOpen(source->second.path, true)) return ERROR_SHARING_VIOLATION;
    winsim::WaitForOplock(source->second, DELETE);
    if (FileEntry* target = m.FindFile(to)) {
        if (!replace) return ERROR_ALREADY_EXISTS;
        winsim::WaitForOplock(*target, DELETE);
        if (target->directory || (target->attributes & FILE_ATTRIBUTE_READONLY) || heldOpen(target->path, false))
            return ERROR_ACCESS_DENIED;
    }
    m.CountChange();
    if (in.files.count(to)) m.RemoveFile(to);
    source = in.files.find(from);
    FileEntry moved = source->second;
    in.files.erase(source);
    for (auto& [id, h] : in.handles)
        if (h.kind == "file" && winsim::UpperAscii(h.filePath) == winsim::UpperAscii(moved.path)) h.filePath = to;
    moved.path = to;
    in.files[to] = moved;
    return 0;
}

BOOL Renamed(Machine& m, DWORD error) {
    if (error) return Fail(m, error);
    m.lastError = ERROR_SUCCESS;
    return TRUE;
}

}  // namespace

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    Machine& m = winsim::Call("MoveFileExA");
    if (lpNewFileName) {
        if (dwFlags & ~(DWORD)(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            throw winsim::SimulationError("MoveFileExA: only a rename on one volume is simulated");
        return Renamed(m, Rename(m, lpExistingFileName ? lpExistingFileName : "", lpNewFileName,
                                 (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0, nullptr));
    }
    if (!(dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT))
        throw winsim::SimulationError("MoveFileExA: only deletion at the next start is simulated");
    if (m.moveFileExError) return Fail(m, m.moveFileExError);
    m.delayedDeletions.push_back(lpExistingFileName ? lpExistingFileName : "");
    m.lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    Machine& m = winsim::Call("MoveFileA");
    return Renamed(
        m, Rename(m, lpExistingFileName ? lpExistingFileName : "", lpNewFileName ? lpNewFileName : "", false, nullptr));
}

// FILE_RENAME_INFO as Windows Vista lays it out.
struct RenameInformation {
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    DWORD FileNameLength;
    WCHAR FileName[1];
};

BOOL WINAPI winsim::SetFileInformationByHandle(HANDLE file, int informationClass, LPVOID information, DWORD size) {
    Machine& m = winsim::Call("SetFileInformationByHandle");
    if (informationClass != 3) throw winsim::SimulationError("SetFileInformationByHandle: only FileRenameInfo");
    winsim::Handle* h = FileHandleOf(m, file);
    if (!h) return Fail(m, ERROR_INVALID_HANDLE);
    if (!(h->fileAccess & DELETE)) return Fail(m, ERROR_ACCESS_DENIED);
    const auto* rename = static_cast<const RenameInformation*>(information);
    if (size < sizeof(RenameInformation) || rename->FileNameLength % sizeof(WCHAR) ||
        size < offsetof(RenameInformation, FileName) + rename->FileNameLength)
        return Fail(m, ERROR_INVALID_PARAMETER);
    std::wstring wide(rename->FileName, rename->FileName + rename->FileNameLength / sizeof(WCHAR));
    std::string name = winsim::Narrow(wide.c_str());
    // The new name is taken in the folder RootDirectory holds.
    winsim::Handle* folder = rename->RootDirectory ? FileHandleOf(m, rename->RootDirectory) : nullptr;
    if (!folder) throw winsim::SimulationError("SetFileInformationByHandle: only a name in a held folder is simulated");
    FileEntry* e = m.FindFile(folder->filePath);
    if (!e || !e->directory || name.find('\\') != std::string::npos) return Fail(m, ERROR_INVALID_PARAMETER);
    const std::string target = e->path + "\\" + name;
    return Renamed(m, Rename(m, h->filePath, target, rename->ReplaceIfExists != 0, file));
}

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    Machine& m = winsim::Call("GetFileInformationByHandle");
    winsim::Handle* h = FileHandleOf(m, hFile);
    if (!h || !lpFileInformation) return Fail(m, ERROR_INVALID_HANDLE);
    FileEntry* e = m.FindFile(h->filePath);
    if (!e) return Fail(m, ERROR_FILE_NOT_FOUND);
    static DWORD nextIndex = 0;
    if (e->fileIndex == 0) e->fileIndex = ++nextIndex;
    std::memset(lpFileInformation, 0, sizeof *lpFileInformation);
    lpFileInformation->dwFileAttributes = e->attributes | (e->directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    lpFileInformation->dwVolumeSerialNumber = 0x4B550000u | static_cast<BYTE>(winsim::UpperAscii(e->path)[0]);
    lpFileInformation->nFileSizeLow = static_cast<DWORD>(e->data.size());
    lpFileInformation->nNumberOfLinks = static_cast<DWORD>(e->directory ? 1 : m.LinkCount(e->path));
    lpFileInformation->nFileIndexLow = e->fileIndex;
    return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    Machine& m = winsim::Call("GetFileSize");
    winsim::Handle* h = FileHandleOf(m, hFile);
    FileEntry* e = h ? m.FindFile(h->filePath) : nullptr;
    if (!e) {
        m.lastError = ERROR_INVALID_HANDLE;
        return INVALID_FILE_SIZE;
    }
    if (lpFileSizeHigh) *lpFileSizeHigh = 0;
    m.lastError = NO_ERROR;  // a size of 0xFFFFFFFF is told from a failure by the last error
    return static_cast<DWORD>(e->data.size());
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    Machine& m = winsim::Call("SetFilePointer");
    winsim::Handle* h = FileHandleOf(m, hFile);
    FileEntry* e = h ? m.FindFile(h->filePath) : nullptr;
    if (!e) {
        m.lastError = ERROR_INVALID_HANDLE;
        return INVALID_SET_FILE_POINTER;
    }
    long long distance = lpDistanceToMoveHigh
                             ? static_cast<long long>(
                                   (static_cast<unsigned long long>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
                                   static_cast<DWORD>(lDistanceToMove))
                             : lDistanceToMove;
    long long base = dwMoveMethod == FILE_BEGIN     ? 0
                     : dwMoveMethod == FILE_CURRENT ? static_cast<long long>(h->filePos)
                                                    : static_cast<long long>(e->data.size());
    long long position = base + distance;
    if (position < 0) {
        m.lastError = ERROR_NEGATIVE_SEEK;
        return INVALID_SET_FILE_POINTER;
    }
    h->filePos = static_cast<size_t>(position);
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(position >> 32);
    m.lastError = ERROR_SUCCESS;
    return static_cast<DWORD>(position);
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
    Machine& m = winsim::Call("SetEndOfFile");
    winsim::Handle* h = FileHandleOf(m, hFile);
    if (!h) return Fail(m, ERROR_INVALID_HANDLE);
    if (!(h->fileAccess & GENERIC_WRITE)) return Fail(m, ERROR_ACCESS_DENIED);
    FileEntry* e = m.FindFile(h->filePath);
    if (!e) return Fail(m, ERROR_FILE_NOT_FOUND);
    m.CountChange();
    if (h->filePos > e->data.size()) {
        long long growth = static_cast<long long>(h->filePos - e->data.size());
        if (m.diskSpace >= 0 && growth > m.diskSpace) return Fail(m, ERROR_DISK_FULL);
        if (m.diskSpace >= 0) m.diskSpace -= growth;
    }
    e->data.resize(h->filePos);
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    Machine& m = winsim::Call("FlushFileBuffers");
    winsim::Handle* h = FileHandleOf(m, hFile);
    if (!h) return Fail(m, ERROR_INVALID_HANDLE);
    if (!(h->fileAccess & GENERIC_WRITE)) return Fail(m, ERROR_ACCESS_DENIED);
    if (m.flushFails) return Fail(m, ERROR_DISK_FULL);
    return TRUE;
}
