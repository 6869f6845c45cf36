// ntdll's file open, as the product reaches it through GetProcAddress: an
// existing file opened by its "\??\" path, with FILE_COMPLETE_IF_OPLOCKED
// answering at once where an oplock would make the open wait.
#include <windows.h>
#include <winternl.h>
#include "internals.h"

using winsim::Machine;

namespace {

constexpr NTSTATUS kStatusOplockBreakInProgress = 0x00000108;
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
constexpr NTSTATUS kStatusUnsuccessful = static_cast<NTSTATUS>(0xC0000001);

// The statuses behind the Win32 errors an open gives, both ways.
constexpr std::pair<NTSTATUS, DWORD> kStatusErrors[] = {
    {static_cast<NTSTATUS>(0xC0000034), ERROR_FILE_NOT_FOUND},     // STATUS_OBJECT_NAME_NOT_FOUND
    {static_cast<NTSTATUS>(0xC000003A), ERROR_PATH_NOT_FOUND},     // STATUS_OBJECT_PATH_NOT_FOUND
    {static_cast<NTSTATUS>(0xC0000022), ERROR_ACCESS_DENIED},      // STATUS_ACCESS_DENIED
    {static_cast<NTSTATUS>(0xC0000043), ERROR_SHARING_VIOLATION},  // STATUS_SHARING_VIOLATION
    {static_cast<NTSTATUS>(0xC000003B), 161},                      // STATUS_OBJECT_PATH_SYNTAX_BAD: ERROR_BAD_PATHNAME
    {kStatusInvalidParameter, ERROR_INVALID_PARAMETER},
    {kStatusFileIsADirectory, ERROR_ACCESS_DENIED},
    {kStatusUnsuccessful, 31},  // ERROR_GEN_FAILURE
};

NTSTATUS StatusOf(DWORD error) {
    for (const auto& [status, win32] : kStatusErrors)
        if (win32 == error) return status;
    return kStatusUnsuccessful;
}

}  // namespace

NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER, ULONG, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID, ULONG) {
    Machine& m = winsim::Call("NtCreateFile");
    if (CreateDisposition != FILE_OPEN || !ObjectAttributes || ObjectAttributes->RootDirectory)
        throw winsim::SimulationError("NtCreateFile: only an existing file opened by its full path is simulated");
    *FileHandle = nullptr;
    const UNICODE_STRING* name = ObjectAttributes->ObjectName;
    const std::wstring wide(name->Buffer, name->Buffer + name->Length / sizeof(WCHAR));
    const std::string path = winsim::Narrow(wide.c_str());
    // Synchronous handles need SYNCHRONIZE, deletion on close DELETE.
    if (((CreateOptions & FILE_SYNCHRONOUS_IO_NONALERT) && !(DesiredAccess & SYNCHRONIZE)) ||
        ((CreateOptions & FILE_DELETE_ON_CLOSE) && !(DesiredAccess & DELETE)))
        return IoStatusBlock->Status = kStatusInvalidParameter;
    if (path.rfind("\\??\\", 0) != 0) return IoStatusBlock->Status = StatusOf(161);
    const std::string win32 = path.substr(4);
    winsim::FileEntry* e = m.FindFile(m.RealPath(win32));
    if (e && e->directory && (CreateOptions & FILE_NON_DIRECTORY_FILE))
        return IoStatusBlock->Status = kStatusFileIsADirectory;
    DWORD flags = ((CreateOptions & FILE_OPEN_REPARSE_POINT) ? FILE_FLAG_OPEN_REPARSE_POINT : 0) |
                  ((CreateOptions & FILE_DELETE_ON_CLOSE) ? FILE_FLAG_DELETE_ON_CLOSE : 0);
    bool oplocked = false;
    HANDLE h = winsim::OpenFile(m, win32, DesiredAccess, ShareAccess, OPEN_EXISTING, flags,
                                (CreateOptions & FILE_COMPLETE_IF_OPLOCKED) ? &oplocked : nullptr);
    if (h == INVALID_HANDLE_VALUE) return IoStatusBlock->Status = StatusOf(m.lastError);
    *FileHandle = h;
    IoStatusBlock->Information = 1;  // FILE_OPENED
    return IoStatusBlock->Status = oplocked ? kStatusOplockBreakInProgress : 0;
}

ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status) {
    winsim::Call("RtlNtStatusToDosError");
    if (Status == 0) return ERROR_SUCCESS;
    for (const auto& [status, win32] : kStatusErrors)
        if (status == Status) return win32;
    return 317;  // ERROR_MR_MID_NOT_FOUND, Windows' answer for a status it cannot map
}
