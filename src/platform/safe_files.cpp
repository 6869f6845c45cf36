#include "platform/safe_files.h"

#include "platform/account.h"
#include "platform/os_version.h"
#include "platform/system_library.h"
#include "platform/text.h"
#include "platform/text_file.h"

#include <aclapi.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>

namespace kestrup {

namespace {

constexpr DWORD kCopyChunk = 64u << 10;

// SetFileInformationByHandle's FileRenameInfo, as Windows Vista lays it out;
// the headers show it only to programs that need Vista.
struct RenameInformation {
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    DWORD FileNameLength;  // in bytes, without a terminator
    WCHAR FileName[1];
};
constexpr int kFileRenameInfo = 3;
using SetFileInformationByHandleFunction = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);

constexpr SECURITY_INFORMATION kCopiedSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

constexpr NTSTATUS kStatusOplockBreakInProgress = 0x00000108;

// The text in UTF-16; false when it does not convert exactly.
bool ToWide(const std::string& text, std::wstring& wide) {
    wide.assign(text.size() + 1, L'\0');
    const int units =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
    if (units <= 0) return false;
    wide.resize(static_cast<size_t>(units) - 1);
    return true;
}

// The native name of a drive path: "\\??\\" before it. False for any other
// form, and for a path Windows reads otherwise through its Win32 name (a part
// empty or ending in a dot or blank, which the Win32 calls drop): the folders
// held on the way were opened through that name.
bool NativePath(const std::string& path, std::wstring& native) {
    if (path.size() < 4 || path[1] != ':' || path[2] != '\\' || path.find('/') != std::string::npos) return false;
    for (size_t start = 3; start <= path.size();) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end == start || path[end - 1] == '.' || path[end - 1] == ' ') return false;
        start = end + 1;
    }
    return ToWide("\\??\\" + path, native) && native.size() * sizeof(WCHAR) < 0x10000;
}

// The last part of a path.
std::string LeafName(const std::string& path) {
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool Describe(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    std::memset(&info, 0, sizeof info);
    return GetFileInformationByHandle(file, &info) != FALSE;
}

bool IsPlainFile(const BY_HANDLE_FILE_INFORMATION& info) {
    return !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
           info.nNumberOfLinks == 1;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

namespace {

FolderHold HoldOneFolder(const std::string& folder, std::vector<FileHandle>& held) {
    // A link is refused by its attributes first, so that none is ever opened
    // (the system's own junctions deny it); the handle checks again.
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FolderHold::kMissing
                                                                              : FolderHold::kUnsafe;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return FolderHold::kUnsafe;
    if (!IsNtFamily()) return FolderHold::kHeld;
    FileHandle handle(CreateFileA(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!handle || !Describe(handle.get(), info)) return FolderHold::kUnsafe;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return FolderHold::kUnsafe;
    held.push_back(std::move(handle));
    return FolderHold::kHeld;
}

}  // namespace

bool HoldPlainFolder(const std::string& folder, std::vector<FileHandle>& held) {
    return HoldOneFolder(folder, held) == FolderHold::kHeld;
}

FolderHold HoldFolders(const std::string& top, const std::string& folder, std::vector<FileHandle>& held) {
    if (!BeginsWithNoCase(folder, top)) return FolderHold::kUnsafe;
    size_t start = top.size();
    while (start < folder.size()) {
        size_t end = folder.find('\\', start);
        if (end == std::string::npos) end = folder.size();
        const FolderHold hold = HoldOneFolder(folder.substr(0, end), held);
        if (hold != FolderHold::kHeld) return hold;
        start = end + 1;
    }
    return FolderHold::kHeld;
}

UserFileOpen OpenUserFile(const std::string& path, DWORD access, DWORD share, DWORD flags, FileHandle& file) {
    file.reset();
    // The Windows 95 family grants no oplocks on its own disks.
    if (!IsNtFamily()) {
        file = FileHandle(CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr));
        return file ? UserFileOpen::kOpened : UserFileOpen::kFailed;
    }
    // Only NtCreateFile takes FILE_COMPLETE_IF_OPLOCKED: with it an open that
    // would break her oplock answers STATUS_OPLOCK_BREAK_IN_PROGRESS at once.
    auto ntCreateFile = LoadedModuleFunction<decltype(&::NtCreateFile)>("ntdll.dll", "NtCreateFile");
    std::wstring native;
    if (!ntCreateFile || !NativePath(path, native)) return UserFileOpen::kFailed;
    UNICODE_STRING name;
    name.Length = name.MaximumLength = static_cast<USHORT>(native.size() * sizeof(WCHAR));
    name.Buffer = &native[0];
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;  // as the Win32 calls name files
    ULONG options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED;
    if (flags & FILE_FLAG_OPEN_REPARSE_POINT) options |= FILE_OPEN_REPARSE_POINT;
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN) options |= FILE_SEQUENTIAL_ONLY;
    if (flags & FILE_FLAG_DELETE_ON_CLOSE) {
        options |= FILE_DELETE_ON_CLOSE;
        access |= DELETE;
    }
    IO_STATUS_BLOCK io = {};
    HANDLE handle = nullptr;
    const NTSTATUS status = ntCreateFile(&handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io,
                                         nullptr, 0, share, FILE_OPEN, options, nullptr, 0);
    if (!NT_SUCCESS(status)) return UserFileOpen::kFailed;
    file = FileHandle(handle);
    if (status != kStatusOplockBreakInProgress) return UserFileOpen::kOpened;
    file.reset();
    return UserFileOpen::kOplocked;
}

UserFileOpen OpenPlainFile(const std::string& path, FileHandle& file, BY_HANDLE_FILE_INFORMATION& info) {
    const UserFileOpen opened = OpenUserFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, file);
    if (opened != UserFileOpen::kOpened) return opened;
    return Describe(file.get(), info) && IsPlainFile(info) ? UserFileOpen::kOpened : UserFileOpen::kFailed;
}

bool GetOwnerSid(HANDLE file, std::string& sid) {
    sid.clear();
    // Looked up: the Windows 95 family's advapi32 lacks it.
    auto getSecurityInfo = LoadedModuleFunction<decltype(&::GetSecurityInfo)>("advapi32.dll", "GetSecurityInfo");
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!getSecurityInfo || getSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                            nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    // A SID is 8 bytes and 4 per sub-authority, whose count is its second byte.
    if (owner) {
        const BYTE* bytes = static_cast<const BYTE*>(owner);
        sid = SidText(bytes, 8u + 4u * bytes[1]);
    }
    LocalFree(descriptor);
    return !sid.empty();
}

bool CopySecurity(HANDLE from, HANDLE to) {
    // Looked up, like GetSecurityInfo: only the NT family keeps descriptors.
    auto getSecurity =
        LoadedModuleFunction<decltype(&::GetKernelObjectSecurity)>("advapi32.dll", "GetKernelObjectSecurity");
    auto setSecurity =
        LoadedModuleFunction<decltype(&::SetKernelObjectSecurity)>("advapi32.dll", "SetKernelObjectSecurity");
    if (!getSecurity || !setSecurity) return false;
    DWORD needed = 0;
    getSecurity(from, kCopiedSecurity, nullptr, 0, &needed);
    if (needed == 0) return false;
    std::vector<BYTE> descriptor(needed);
    return getSecurity(from, kCopiedSecurity, descriptor.data(), needed, &needed) &&
           setSecurity(to, kCopiedSecurity, descriptor.data());
}

bool RenameInFolder(FileHandle& file, const std::string& path, HANDLE folder, const std::string& target, bool replace) {
    auto setInformation =
        LoadedModuleFunction<SetFileInformationByHandleFunction>("kernel32.dll", "SetFileInformationByHandle");
    std::wstring name;
    if (setInformation && folder && folder != INVALID_HANDLE_VALUE && ToWide(LeafName(target), name)) {
        const DWORD bytes = static_cast<DWORD>(name.size() * sizeof(WCHAR));
        std::vector<BYTE> buffer(sizeof(RenameInformation) + bytes);  // room for a terminator too
        RenameInformation* rename = reinterpret_cast<RenameInformation*>(buffer.data());
        rename->ReplaceIfExists = replace ? TRUE : FALSE;
        rename->RootDirectory = folder;
        rename->FileNameLength = bytes;
        std::memcpy(rename->FileName, name.data(), bytes);
        if (setInformation(file.get(), kFileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
            file.reset();
            return true;
        }
        const DWORD error = GetLastError();
        // A system that does not take this rename at all (Wine answers ERROR_INVALID_PARAMETER) is
        // renamed by name below: the folders on the way are held, so the name leads to the same place.
        if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_CALL_NOT_IMPLEMENTED) {
            file.reset();
            SetLastError(error);  // the caller tells a name taken meanwhile
            return false;
        }
    }
    // Older Windows rename only by name, and not a file that is held open.
    file.reset();
    if (!IsNtFamily()) return !replace && MoveFileA(path.c_str(), target.c_str());
    return MoveFileExA(path.c_str(), target.c_str(),
                       (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH);
}

bool SeekTo(HANDLE file, DWORD offset) {
    LONG high = 0;
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(file, static_cast<LONG>(offset), &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

bool CopyContents(HANDLE from, HANDLE to) {
    std::vector<char> buffer(kCopyChunk);
    while (true) {
        DWORD read = 0;
        if (!ReadFile(from, buffer.data(), kCopyChunk, &read, nullptr)) return false;
        if (read == 0) return true;
        if (!WriteBytes(to, buffer.data(), read)) return false;
    }
}

}  // namespace kestrup
