// ntdll's file open, as the product reaches it through GetProcAddress: an
// existing file opened by its "\??\" path, FILE_COMPLETE_IF_OPLOCKED answering
// at once where an oplock would make the open wait.
#include <windows.h>
#include <winternl.h>
#include "internals.h"

NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER, ULONG, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID, ULONG) {
    winsim::Machine& m = winsim::Call("NtCreateFile");
    if (CreateDisposition != FILE_OPEN || ObjectAttributes->RootDirectory)
        throw winsim::SimulationError("NtCreateFile: only an existing file opened by its full path is simulated");
    *FileHandle = nullptr;
    const UNICODE_STRING* name = ObjectAttributes->ObjectName;
    const std::string path = winsim::Narrow(std::wstring(name->Buffer, name->Length / sizeof(WCHAR)).c_str());
    // Failures are told apart only by their status, which the product does not read.
    const NTSTATUS failed = static_cast<NTSTATUS>(0xC0000001);  // STATUS_UNSUCCESSFUL
    if (path.rfind("\\??\\", 0) != 0) return IoStatusBlock->Status = failed;
    const winsim::FileEntry* e = m.FindFile(m.RealPath(path.substr(4)));
    // Synchronous handles need SYNCHRONIZE, deletion on close DELETE.
    if (((CreateOptions & FILE_SYNCHRONOUS_IO_NONALERT) && !(DesiredAccess & SYNCHRONIZE)) ||
        ((CreateOptions & FILE_DELETE_ON_CLOSE) && !(DesiredAccess & DELETE)) ||
        (e && e->directory && (CreateOptions & FILE_NON_DIRECTORY_FILE)))
        return IoStatusBlock->Status = failed;
    DWORD flags = ((CreateOptions & FILE_OPEN_REPARSE_POINT) ? FILE_FLAG_OPEN_REPARSE_POINT : 0) |
                  ((CreateOptions & FILE_DELETE_ON_CLOSE) ? FILE_FLAG_DELETE_ON_CLOSE : 0);
    bool oplocked = false;
    HANDLE h = winsim::OpenFile(m, path.substr(4), DesiredAccess, ShareAccess, OPEN_EXISTING, flags,
                                (CreateOptions & FILE_COMPLETE_IF_OPLOCKED) ? &oplocked : nullptr);
    if (h == INVALID_HANDLE_VALUE) return IoStatusBlock->Status = failed;
    *FileHandle = h;
    return IoStatusBlock->Status = oplocked ? 0x00000108 : 0;  // STATUS_OPLOCK_BREAK_IN_PROGRESS: open, at once
}
