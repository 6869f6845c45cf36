// Files and folders in places users control, used by the elevated installer
// without following a link a user could have planted: each is opened as it is
// (a reparse point at its name is not followed), checked through its handle,
// and held open, shared without delete, while it is used, so that it cannot
// be renamed or swapped between the check and the use.
#pragma once

#include "platform/handles.h"

#include <windows.h>

#include <string>
#include <vector>

namespace kestrup {

// What Windows knows of an open file; all zero and false when it will not say.
bool Describe(HANDLE file, BY_HANDLE_FILE_INFORMATION& info);
// A plain file with a single name: not a folder, not a reparse point, no hard link.
bool IsPlainFile(const BY_HANDLE_FILE_INFORMATION& info);
// The same file on the same volume.
bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);

// Opens the folder as it is and adds it to held, so that it can be neither
// renamed nor replaced while held. False when it is missing, not a folder, or
// a reparse point. The Windows 95 family has no reparse points and opens no
// folders: there the attributes alone decide.
bool HoldPlainFolder(const std::string& folder, std::vector<FileHandle>& held);
// Holds every folder of folder below top (top, with its trailing backslash,
// excluded), from the top down. Tells a folder that is missing (nothing there:
// what was to be found below it is absent) from one that cannot be held
// safely; unsafe too when folder is not below top.
enum class FolderHold { kHeld, kMissing, kUnsafe };
FolderHold HoldFolders(const std::string& top, const std::string& folder, std::vector<FileHandle>& held);

// Opens an existing file that a user controls as CreateFileA with OPEN_EXISTING
// would (flags: FILE_FLAG_OPEN_REPARSE_POINT, FILE_FLAG_SEQUENTIAL_SCAN,
// FILE_FLAG_DELETE_ON_CLOSE), but never waits on her: an opportunistic lock
// she holds on it makes the open answer kOplocked at once, with nothing open,
// where a plain open would wait until she let go. Not for folders. kFailed
// sets no last error on the NT family.
enum class UserFileOpen { kOpened, kFailed, kOplocked };
UserFileOpen OpenUserFile(const std::string& path, DWORD access, DWORD share, DWORD flags, FileHandle& file);

// Opens a file as it is, for reading, shared without delete, never waiting on
// an oplock, and checks that it is a plain file (kFailed when it is not).
UserFileOpen OpenPlainFile(const std::string& path, FileHandle& file, BY_HANDLE_FILE_INFORMATION& info);

// The SID of an open file's or folder's owner, as text; false where Windows
// keeps none or will not say (the Windows 95 family has no owners).
bool GetOwnerSid(HANDLE file, std::string& sid);

// Gives the file open as to the security descriptor of the file open as from
// (owner, group and access list, with its inheritance flags, as they stand):
// a file put in another's place is still its owner's, open to the same people.
// from needs READ_CONTROL, to WRITE_OWNER and WRITE_DAC; another user as owner
// takes SeRestorePrivilege, enabled.
bool CopySecurity(HANDLE from, HANDLE to);
// Gives the open file, named path, the name target in the same folder, in one
// step: target is the old file or this one, never neither, whenever the run
// ends. replace: a file at target is replaced; otherwise one there fails it.
// Where Windows renames through a handle (Vista on) the new name is taken in
// folder, a held handle of the folder that holds both, so neither the file nor
// the folder can have been swapped; elsewhere the file is closed and renamed
// by name. The handle is closed either way. Windows replaces no file that is
// open, and no read-only one.
bool RenameInFolder(FileHandle& file, const std::string& path, HANDLE folder, const std::string& target, bool replace);

// Moves the file pointer to offset from the start.
bool SeekTo(HANDLE file, DWORD offset);
// Copies everything from one open file into another, from their current positions.
bool CopyContents(HANDLE from, HANDLE to);

}  // namespace kestrup
