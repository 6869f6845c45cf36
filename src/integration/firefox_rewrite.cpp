// One prefs.js rewritten in place. The installer runs elevated but the file
// lies in a folder its user controls, so nothing here follows a link the user
// could have planted: prefs.js, its backup and the temporary file must be
// plain files with a single name, the folder stays held while they are used,
// and prefs.js is read and rewritten through the one handle that was checked.
#include "integration/firefox.h"

#include "integration/firefox_prefs_text.h"
#include "platform/account.h"
#include "platform/file_ops.h"
#include "platform/handles.h"
#include "platform/os_version.h"
#include "platform/safe_files.h"
#include "platform/text.h"
#include "platform/text_file.h"

#include <windows.h>

#include <vector>

namespace kestrup {

namespace {

// A preference line longer than this is not Firefox's; such a file is left alone
// rather than read into memory whole.
constexpr size_t kMaxPrefsLine = 64u << 20;

// Where the new contents are written before they take their place.
FileHandle CreateTemporary(const std::string& tempPath) {
    // DELETE to rename it through the handle; WRITE_DAC and WRITE_OWNER to give
    // it prefs.js's descriptor. The Windows 95 family knows none of them.
    const DWORD renameAccess = IsNtFamily() ? DELETE | WRITE_DAC | WRITE_OWNER : 0;
    return FileHandle(CreateFileA(tempPath.c_str(), GENERIC_READ | GENERIC_WRITE | renameAccess, FILE_SHARE_READ,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Takes the backup once, or checks the backup that is there. The copy is
// written under the temporary name and only then named the backup, never over
// an existing one: a run ended half-way leaves no half backup that would stand
// for good in place of the real one. False when the profile must be left alone.
bool TakeOrCheckBackup(HANDLE prefs, HANDLE folder, const std::string& backupPath, const std::string& tempPath) {
    if (GetFileAttributesA(backupPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        // An existing backup is never replaced; it is only looked at.
        FileHandle existing(CreateFileA(backupPath.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION info;
        return existing && Describe(existing.get(), info) && IsPlainFile(info);
    }
    FileHandle copy = CreateTemporary(tempPath);
    if (!copy) {
        // Something appeared at the name since it was cleared: not ours to touch.
        const DWORD error = GetLastError();
        return error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS;
    }
    const bool copied = SeekTo(prefs, 0) && CopyContents(prefs, copy.get()) && FlushFileBuffers(copy.get());
    if (copied && RenameInFolder(copy, tempPath, folder, backupPath, false)) return true;
    // A backup that appeared since the look above is not ours to touch either.
    const DWORD error = GetLastError();
    const bool appeared = copied && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
    // Only the name goes, whatever it leads to now.
    copy.reset();
    DeleteFileA(tempPath.c_str());
    return !appeared;
}

// A plain file left at the temporary name by an earlier run is removed;
// anything else there leaves the profile alone. Only the name goes, whatever
// it was swapped for meanwhile (the link itself, not what it leads to); an
// oplock on it answers at once. kOpened: the name is free.
UserFileOpen RemoveLeftoverTemporary(const std::string& tempPath) {
    DWORD attributes = GetFileAttributesA(tempPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return UserFileOpen::kOpened;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return UserFileOpen::kFailed;
    // The 95 family has no oplocks, and no deletion on close.
    if (!IsNtFamily()) return DeleteFileA(tempPath.c_str()) ? UserFileOpen::kOpened : UserFileOpen::kFailed;
    FileHandle leftover;  // closing it removes the name
    return OpenUserFile(tempPath, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_DELETE_ON_CLOSE, leftover);
}

// Writes the rewritten preferences into the temporary file.
ProfileOutcome WriteRewrittenPrefs(HANDLE prefs, HANDLE temp, ProfileOwnerDomain& owner) {
    if (!SeekTo(prefs, 0)) return ProfileOutcome::kUnreadable;
    LineReader reader;
    StartReading(reader, prefs, kMaxPrefsLine);
    TextWriter writer;
    StartWriting(writer, temp);
    PrefsRewrite rewrite;
    std::string line;
    bool hasLineEnd = false;
    while (ReadLine(reader, line, hasLineEnd)) {
        if (hasLineEnd) line += '\n';
        // Most lines are written as read, without a copy.
        const bool written = KeepPrefsLineAsRead(rewrite, line) ? WriteText(writer, line)
                                                                : WriteText(writer, RewritePrefsLine(rewrite, line));
        if (!written) return ProfileOutcome::kWriteFailed;
    }
    if (reader.failed) return ProfileOutcome::kUnreadable;

    const bool sspiLine = !rewrite.sspiOffSeen && WantsSspiLine(owner.Get());
    if (!WriteText(writer, FinishPrefsRewrite(rewrite, sspiLine)) || !FinishWriting(writer))
        return ProfileOutcome::kWriteFailed;
    return ProfileOutcome::kRewritten;
}

// The Windows 95 family renames nothing over an existing file, so there the
// contents are copied into prefs.js, through a handle on the very file that
// was checked: prefs.js is never missing, though a run ended during the copy
// leaves it cut (the backup keeps the first one). The room for the new
// contents is taken first, so a full disk leaves prefs.js as it was.
bool CopyBack(const std::string& prefsPath, const BY_HANDLE_FILE_INFORMATION& checked, HANDLE temp) {
    // Only the size is needed here (a full description also asks for the volume).
    DWORD newSizeHigh = 0;
    SetLastError(NO_ERROR);
    const DWORD newSize = GetFileSize(temp, &newSizeHigh);
    if ((newSize == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || newSizeHigh != 0) return false;
    // A read-only prefs.js is replaced too (the file is still held, so this is it).
    SetFileAttributesA(prefsPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    FileHandle out(CreateFileA(prefsPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION outInfo;
    if (!out || !Describe(out.get(), outInfo) || !IsPlainFile(outInfo) || !SameFile(outInfo, checked)) return false;
    if (newSize > outInfo.nFileSizeLow && (!SeekTo(out.get(), newSize) || !SetEndOfFile(out.get()))) return false;
    bool copied = SeekTo(out.get(), 0) && SeekTo(temp, 0) && CopyContents(temp, out.get()) &&
                  SeekTo(out.get(), newSize) && SetEndOfFile(out.get());
    return FlushAndClose(out) && copied;
}

// Elsewhere the temporary file takes prefs.js's place in one step, with its
// owner and access list: killed at any moment, prefs.js is the old file or the new one.
bool ReplacePrefs(FileHandle& prefs, FileHandle& temp, const std::string& tempPath, HANDLE folder,
                  const std::string& prefsPath) {
    if (!CopySecurity(prefs.get(), temp.get())) return false;
    // Where the access list also carries the read-only flag (Wine keeps both in the file's mode),
    // the copy made the new file read-only: it is cleared while the file is still held.
    SetFileAttributesA(tempPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    // A read-only prefs.js is replaced too (the file is still held, so this is it).
    SetFileAttributesA(prefsPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    prefs.reset();
    return RenameInFolder(temp, tempPath, folder, prefsPath, true);
}

}  // namespace

const std::string& ProfileOwnerDomain::Get() {
    if (!asked_) {
        std::string user;
        // A failure leaves it empty.
        if (ownerSid_.empty() || EqualsNoCase(ownerSid_, installingSid_))
            GetUserAndDomain(user, domain_);
        else
            GetAccountDomainOfSid(ownerSid_, domain_);
        asked_ = true;
    }
    return domain_;
}

ProfileOutcome RewritePrefsFile(const std::string& prefsPath) {
    std::string folder = prefsPath;
    StripFileName(folder);
    std::vector<FileHandle> held;
    if (folder.empty() || !HoldPlainFolder(folder, held)) return ProfileOutcome::kUnsafeFolder;
    ProfileOwnerDomain owner;
    return RewriteHeldPrefsFile(prefsPath, held.empty() ? nullptr : held.back().get(), owner);
}

ProfileOutcome RewriteHeldPrefsFile(const std::string& prefsPath, HANDLE folder, ProfileOwnerDomain& owner) {
    const std::string backupPath = prefsPath + ".BACKUP";
    const std::string tempPath = prefsPath + ".TEMP";
    if (backupPath.size() >= MAX_PATH) return ProfileOutcome::kPathTooLong;

    FileHandle prefs;
    BY_HANDLE_FILE_INFORMATION prefsInfo;
    const UserFileOpen opened = OpenPlainFile(prefsPath, prefs, prefsInfo);
    if (opened == UserFileOpen::kOplocked) return ProfileOutcome::kOplocked;
    if (opened != UserFileOpen::kOpened || prefsInfo.nFileSizeHigh != 0) return ProfileOutcome::kUnsafeFile;
    switch (RemoveLeftoverTemporary(tempPath)) {
    case UserFileOpen::kOpened:
        break;
    case UserFileOpen::kOplocked:
        return ProfileOutcome::kOplocked;
    case UserFileOpen::kFailed:
        return ProfileOutcome::kUnsafeTemporary;
    }
    if (!TakeOrCheckBackup(prefs.get(), folder, backupPath, tempPath)) return ProfileOutcome::kUnsafeBackup;

    FileHandle temp = CreateTemporary(tempPath);
    if (!temp) return ProfileOutcome::kUnsafeTemporary;
    // Only a temporary file written completely takes prefs.js's place.
    ProfileOutcome outcome = WriteRewrittenPrefs(prefs.get(), temp.get(), owner);
    if (outcome == ProfileOutcome::kRewritten && !FlushFileBuffers(temp.get())) outcome = ProfileOutcome::kWriteFailed;
    const bool ntFamily = IsNtFamily();
    if (outcome == ProfileOutcome::kRewritten) {
        if (ntFamily && ReplacePrefs(prefs, temp, tempPath, folder, prefsPath)) return outcome;  // it is prefs.js now
        if (ntFamily || !CopyBack(prefsPath, prefsInfo, temp.get())) outcome = ProfileOutcome::kCopyBackFailed;
    }
    temp.reset();
    // A temporary file that failed to copy back stays on the Windows 95 family.
    if (ntFamily || outcome != ProfileOutcome::kCopyBackFailed) {
        std::string errorText;
        bool deferred = false;
        DeleteFileOrDefer(tempPath, errorText, deferred);
    }
    return outcome;
}

}  // namespace kestrup
