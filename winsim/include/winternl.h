// The native file open the product uses where a plain CreateFile could wait on
// an opportunistic lock: NtCreateFile (ntdll, looked up) and what it takes.
#pragma once

#include <windows.h>

#define NTAPI WINAPI
typedef LONG NTSTATUS;
#define NT_SUCCESS(status) ((NTSTATUS)(status) >= 0)
typedef unsigned short USHORT;
typedef WCHAR* PWSTR;
typedef LONGLONG* PLARGE_INTEGER;
typedef struct _UNICODE_STRING {
    USHORT Length;  // in bytes, without a terminator
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef struct _IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define FILE_OPEN 0x00000001
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_COMPLETE_IF_OPLOCKED 0x00000100
#define FILE_DELETE_ON_CLOSE 0x00001000
#define FILE_OPEN_REPARSE_POINT 0x00200000

// Only an existing file opened by its "\??\" path. On a file under another
// process's oplock, FILE_COMPLETE_IF_OPLOCKED answers
// STATUS_OPLOCK_BREAK_IN_PROGRESS (0x108) at once, with the handle open;
// without it the open waits for the holder, which winsim refuses.
NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength);
