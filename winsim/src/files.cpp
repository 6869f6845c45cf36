// File calls over the machine's file table: searches, attributes, and plain
// file input and output with sharing and read-only rules.
#include <windows.h>
#include "internals.h"

#include <algorithm>
#include <cstring>

namespace winsim {

bool BreaksOplock(DWORD access) {
    return (access & ~(DWORD)(FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE)) != 0;
}

void WaitForOplock(const FileEntry& file, DWORD access) {
    if (file.oplocked && BreaksOplock(access))
        throw SimulationError(file.path + ": the open would wait for the oplock's holder to let go");
}

// Windows 95, 98 and Me have only stubs of most W functions, which fail so.
bool IsWideStub(Machine& m) {
    if (m.version.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS) return false;
    m.lastError = ERROR_CALL_NOT_IMPLEMENTED;
    return true;
}

}  // namespace winsim

using winsim::FileEntry;
using winsim::Machine;

namespace {

void FillFindData(const FileEntry& e, const std::string& name, LPWIN32_FIND_DATAA data) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = e.attributes | (e.directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    data->nFileSizeLow = static_cast<DWORD>(e.data.size());
    std::strncpy(data->cFileName, name.c_str(), MAX_PATH - 1);
}

void FillFindData(const FileEntry& e, const std::string& name, LPWIN32_FIND_DATAW data) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = e.attributes | (e.directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    data->nFileSizeLow = static_cast<DWORD>(e.data.size());
    std::wstring wide(name.size() + 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
    size_t n = std::min<size_t>(wide.size(), MAX_PATH - 1);
    std::copy(wide.begin(), wide.begin() + static_cast<long>(n), data->cFileName);
    data->cFileName[n] = 0;
}

std::string BaseName(const std::string& path) {
    size_t p = path.find_last_of('\\');
    return p == std::string::npos ? path : path.substr(p + 1);
}

bool HasWildcards(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

template <class FindData>
HANDLE FindFirst(Machine& m, const std::string& path, FindData* lpFindFileData) {
    size_t slash = path.find_last_of('\\');
    if (slash == std::string::npos || slash + 1 == path.size()) {
        m.lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    std::string dir = path.substr(0, slash), pattern = path.substr(slash + 1);
    m.NoteLinksFollowed(path);
    winsim::Handle h;
    h.kind = "find";
    if (!HasWildcards(pattern)) {
        if (FileEntry* e = m.FindFile(path)) h.findEntries.push_back(*e);
    } else {
        FileEntry* d = m.FindFile(dir.size() == 2 ? dir + "\\" : dir);
        bool isRoot = dir.size() == 2 && dir[1] == ':';
        if (!isRoot && (!d || !d->directory)) {
            m.lastError = ERROR_PATH_NOT_FOUND;
            return INVALID_HANDLE_VALUE;
        }
        // Listing a compatibility junction is what its deny entry forbids.
        if (d && d->denyListRead) {
            m.deniedOpens.push_back(d->path);
            m.lastError = ERROR_ACCESS_DENIED;
            return INVALID_HANDLE_VALUE;
        }
        std::string pat = pattern == "*.*" ? "*" : pattern;
        if (!isRoot) {
            // A directory other than a root lists itself and its parent first.
            for (const char* dots : {".", ".."})
                if (winsim::MatchPattern(pat, dots))
                    h.findEntries.push_back(FileEntry{dots, true, FILE_ATTRIBUTE_DIRECTORY, ""});
        }
        for (FileEntry* e : m.ListDirectory(dir))
            if (winsim::MatchPattern(pat, BaseName(e->path))) h.findEntries.push_back(*e);
    }
    if (h.findEntries.empty()) {
        m.lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    FillFindData(h.findEntries[0], BaseName(h.findEntries[0].path), lpFindFileData);
    h.findNext = 1;
    return winsim::Inside(m).NewHandle(std::move(h));
}

template <class FindData>
BOOL FindNext(Machine& m, HANDLE hFindFile, FindData* lpFindFileData) {
    winsim::Handle* h = winsim::Inside(m).GetHandle(hFindFile, "find");
    if (!h) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (h->findNext >= h->findEntries.size()) {
        m.lastError = ERROR_NO_MORE_FILES;
        return FALSE;
    }
    const FileEntry& e = h->findEntries[h->findNext++];
    FillFindData(e, BaseName(e.path), lpFindFileData);
    return TRUE;
}

}  // namespace

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    Machine& m = winsim::Call("FindFirstFileA");
    return FindFirst(m, lpFileName ? lpFileName : "", lpFindFileData);
}

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    Machine& m = winsim::Call("FindFirstFileW");
    if (winsim::IsWideStub(m)) return INVALID_HANDLE_VALUE;
    return FindFirst(m, winsim::Narrow(lpFileName), lpFindFileData);
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    return FindNext(winsim::Call("FindNextFileA"), hFindFile, lpFindFileData);
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    Machine& m = winsim::Call("FindNextFileW");
    if (winsim::IsWideStub(m)) return FALSE;
    return FindNext(m, hFindFile, lpFindFileData);
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    Machine& m = winsim::Call("FindClose");
    if (!winsim::Inside(m).GetHandle(hFindFile, "find")) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return winsim::Inside(m).CloseHandleEntry(hFindFile);
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    Machine& m = winsim::Call("GetFileAttributesA");
    std::string path = lpFileName ? lpFileName : "";
    // A relative path is taken from the current folder.
    const bool absolute = (path.size() >= 3 && path[1] == ':' && path[2] == '\\') || path.rfind("\\\\", 0) == 0;
    if (!path.empty() && !absolute) path = m.currentDirectory + "\\" + path;
    FileEntry* e = m.FindFile(path);
    if (!e) {
        m.lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_FILE_ATTRIBUTES;
    }
    return e->attributes | (e->directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    Machine& m = winsim::Call("SetFileAttributesA");
    FileEntry* e = m.FindFile(lpFileName ? lpFileName : "");
    if (!e) {
        m.lastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    m.CountChange();
    DWORD keep = e->attributes & FILE_ATTRIBUTE_REPARSE_POINT;
    e->attributes = (dwFileAttributes & ~(DWORD)FILE_ATTRIBUTE_DIRECTORY) | keep;
    if (e->attributes == 0) e->attributes = FILE_ATTRIBUTE_NORMAL;
    return TRUE;
}

HANDLE winsim::OpenFile(Machine& m, const std::string& name, DWORD dwDesiredAccess, DWORD dwShareMode,
                        DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, bool* oplocked) {
    m.NoteLinksFollowed(name);
    std::string path = m.RealPath(name);
    FileEntry* e = m.FindFile(path);
    auto fail = [&](DWORD error) {
        m.lastError = error;
        return INVALID_HANDLE_VALUE;
    };
    // A compatibility junction denies reading itself, followed or not; only an
    // enabled SeBackupPrivilege with backup semantics passes the deny entry.
    if (e && e->denyListRead && (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) &&
        !(m.privilegesEnabled.count("SeBackupPrivilege") && (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS))) {
        m.deniedOpens.push_back(e->path);
        return fail(ERROR_ACCESS_DENIED);
    }
    // A symbolic link is followed to its target unless the caller asks for the link itself.
    if (e && !e->linkTarget.empty() && !(dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT)) {
        path = m.RealPath(e->linkTarget);
        e = m.FindFile(path);
    }
    // Folders open only with backup semantics, and only as they are.
    bool folder = e && e->directory;
    if (folder && (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) || dwCreationDisposition == CREATE_NEW ||
                   dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING))
        return fail(ERROR_ACCESS_DENIED);
    bool writes = (dwDesiredAccess & GENERIC_WRITE) != 0;
    if (e) {
        if (dwCreationDisposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS);
        if (!folder &&
            (writes || dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING ||
             (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE)) &&
            (e->attributes & FILE_ATTRIBUTE_READONLY))
            return fail(ERROR_ACCESS_DENIED);
        if (oplocked) *oplocked = e->oplocked && winsim::BreaksOplock(dwDesiredAccess);
        if (!oplocked) winsim::WaitForOplock(*e, dwDesiredAccess);
        if (winsim::Inside(m).FileSharingConflict(e->path, dwDesiredAccess, dwShareMode, false) ||
            ((dwDesiredAccess & DELETE) && winsim::Inside(m).FileSharingConflict(e->path, 0, 0, true)))
            return fail(ERROR_SHARING_VIOLATION);
        if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING) {
            m.CountChange();
            e->data.clear();
        }
        m.lastError = (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS)
                          ? ERROR_ALREADY_EXISTS
                          : ERROR_SUCCESS;
    } else {
        if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING)
            return fail(ERROR_FILE_NOT_FOUND);
        size_t slash = path.find_last_of('\\');
        FileEntry* parent = slash == std::string::npos ? nullptr : m.FindFile(path.substr(0, slash));
        bool rootParent = slash == 2 && path[1] == ':';
        if (!rootParent && (!parent || !parent->directory)) return fail(ERROR_PATH_NOT_FOUND);
        DWORD attrs = dwFlagsAndAttributes & 0xFFFF & ~(DWORD)FILE_ATTRIBUTE_DIRECTORY;
        m.CountChange();
        m.AddFile(path, "", attrs ? attrs : FILE_ATTRIBUTE_ARCHIVE);
        m.FindFile(path)->owner = "S-1-5-32-544";  // an elevated administrator's default owner
        m.lastError = ERROR_SUCCESS;
    }
    winsim::Handle h;
    h.kind = "file";
    h.filePath = m.FindFile(path)->path;
    h.fileAccess = dwDesiredAccess | ((dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) ? DELETE : 0);
    h.fileShare = dwShareMode;
    h.deleteOnClose = (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    h.openedName = path;
    return winsim::Inside(m).NewHandle(std::move(h));
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    return winsim::OpenFile(winsim::Call("CreateFileA"), lpFileName ? lpFileName : "", dwDesiredAccess, dwShareMode,
                            dwCreationDisposition, dwFlagsAndAttributes, nullptr);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead, LPVOID) {
    Machine& m = winsim::Call("ReadFile");
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (winsim::Handle* p = winsim::Inside(m).GetHandle(hFile, "pipe-read"))
        return winsim::ReadPipe(m, *p, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead);
    winsim::Handle* h = winsim::Inside(m).GetHandle(hFile, "file");
    if (!h || !(h->fileAccess & GENERIC_READ)) {
        m.lastError = h ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
        return FALSE;
    }
    FileEntry* e = m.FindFile(h->filePath);
    if (!e) {
        m.lastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    size_t n = h->filePos < e->data.size() ? std::min<size_t>(nNumberOfBytesToRead, e->data.size() - h->filePos) : 0;
    if (n) std::memcpy(lpBuffer, e->data.data() + h->filePos, n);
    h->filePos += n;
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPVOID) {
    Machine& m = winsim::Call("WriteFile");
    winsim::Handle* h = winsim::Inside(m).GetHandle(hFile, "file");
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (!h || !(h->fileAccess & GENERIC_WRITE)) {
        m.lastError = h ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
        return FALSE;
    }
    FileEntry* e = m.FindFile(h->filePath);
    if (!e) {
        m.lastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    m.CountChange();
    size_t n = nNumberOfBytesToWrite;
    bool short_write = false;
    // Only what grows the file takes disk space; overwriting takes none.
    size_t inPlace = h->filePos < e->data.size() ? std::min(n, e->data.size() - h->filePos) : 0;
    if (m.diskSpace >= 0 && static_cast<long long>(n - inPlace) > m.diskSpace) {
        n = inPlace + static_cast<size_t>(m.diskSpace);  // a full disk takes what fits, then fails
        short_write = true;
    }
    if (e->data.size() < h->filePos + n) e->data.resize(h->filePos + n);
    if (n) std::memcpy(&e->data[h->filePos], lpBuffer, n);
    h->filePos += n;
    if (m.diskSpace >= 0) m.diskSpace -= static_cast<long long>(n - std::min(n, inPlace));
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = static_cast<DWORD>(n);
    if (short_write) {
        m.lastError = 112;  // ERROR_DISK_FULL
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    Machine& m = winsim::Call("CreateDirectoryA");
    m.NoteLinksFollowed(lpPathName ? lpPathName : "");
    const std::string path = m.RealPath(lpPathName ? lpPathName : "");
    const size_t slash = path.find_last_of('\\');
    FileEntry* parent = slash == std::string::npos ? nullptr : m.FindFile(path.substr(0, slash));
    m.lastError = m.FindFile(path)                                                    ? ERROR_ALREADY_EXISTS
                  : !(parent && parent->directory) && !(slash == 2 && path[1] == ':') ? ERROR_PATH_NOT_FOUND
                                                                                      : ERROR_SUCCESS;
    if (m.lastError != ERROR_SUCCESS) return FALSE;
    m.AddDirectory(path);
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    Machine& m = winsim::Call("DeleteFileA");
    std::string path = lpFileName ? lpFileName : "";
    FileEntry* e = m.FindFile(path);
    if (!e) {
        m.lastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    if (e->directory || (e->attributes & FILE_ATTRIBUTE_READONLY)) {
        m.lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (winsim::Inside(m).FileSharingConflict(e->path, 0, 0, true)) {
        m.lastError = ERROR_SHARING_VIOLATION;
        return FALSE;
    }
    winsim::WaitForOplock(*e, DELETE);
    m.CountChange();
    m.RemoveFile(path);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    Machine& m = winsim::Call("CloseHandle");
    winsim::Handle* h = winsim::Inside(m).GetHandle(hObject, nullptr);
    if (!h || h->kind == "key" || h->kind == "find" || h->kind == "library" || h->kind == "module") {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    std::string closedFile = h->kind == "file" ? h->filePath : std::string();
    const std::string deleteName = h->deleteOnClose ? h->openedName : std::string();
    BOOL closed = winsim::Inside(m).CloseHandleEntry(hObject);
    if (!deleteName.empty()) m.RemoveFile(deleteName);
    if (!closedFile.empty() && m.onFileClosed) m.onFileClosed(closedFile);
    return closed;
}
