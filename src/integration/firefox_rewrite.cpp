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

// Takes the backup once, as a new file with prefs.js's contents, or checks
// the backup that is there. False when the profile must be left alone.
bool TakeOrCheckBackup(HANDLE prefs, const std::string& backupPath) {
    if (GetFileAttributesA(backupPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        // An existing backup is never replaced; it is only looked at.
        FileHandle existing(CreateFileA(backupPath.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION info;
        return existing && Describe(existing.get(), info) && IsPlainFile(info);
    }
    FileHandle backup(CreateFileA(backupPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!backup) {
        // Something appeared at the name since the look above: not ours to touch.
        DWORD error = GetLastError();
        return error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS;
    }
    bool copied = SeekTo(prefs, 0) && CopyContents(prefs, backup.get());
    if (!FlushAndClose(backup) || !copied) {
        // A partial backup would stand for good in place of the real one. Only
        // the name goes, whatever it leads to now.
        DeleteFileA(backupPath.c_str());
    }
    return true;
}

// A plain file left at the temporary name by an earlier run is removed;
// anything else there leaves the profile alone. DeleteFileA removes the name
// only, whatever it was swapped for meanwhile.
bool RemoveLeftoverTemporary(const std::string& tempPath) {
    DWORD attributes = GetFileAttributesA(tempPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    return DeleteFileA(tempPath.c_str()) != FALSE;
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

// Puts the temporary file's contents into prefs.js through a handle on the very
// file that was checked. The room for the new contents is taken first, so a
// full disk leaves prefs.js as it was.
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
    return RewriteHeldPrefsFile(prefsPath, owner);
}

ProfileOutcome RewriteHeldPrefsFile(const std::string& prefsPath, ProfileOwnerDomain& owner) {
    const std::string backupPath = prefsPath + ".BACKUP";
    const std::string tempPath = prefsPath + ".TEMP";
    if (backupPath.size() >= MAX_PATH) return ProfileOutcome::kPathTooLong;

    FileHandle prefs;
    BY_HANDLE_FILE_INFORMATION prefsInfo;
    if (!OpenPlainFile(prefsPath, prefs, prefsInfo) || prefsInfo.nFileSizeHigh != 0) return ProfileOutcome::kUnsafeFile;
    if (!TakeOrCheckBackup(prefs.get(), backupPath)) return ProfileOutcome::kUnsafeBackup;
    if (!RemoveLeftoverTemporary(tempPath)) return ProfileOutcome::kUnsafeTemporary;

    // On the NT family the temporary file goes when its handle is closed,
    // whatever happens; nobody can put anything in its place before that.
    const bool ntFamily = IsNtFamily();
    FileHandle temp(CreateFileA(
        tempPath.c_str(), GENERIC_READ | GENERIC_WRITE | (ntFamily ? DELETE : 0), FILE_SHARE_READ, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | (ntFamily ? FILE_FLAG_DELETE_ON_CLOSE : 0), nullptr));
    if (!temp) return ProfileOutcome::kUnsafeTemporary;
    // Only a temporary file written completely is copied over prefs.js.
    ProfileOutcome outcome = WriteRewrittenPrefs(prefs.get(), temp.get(), owner);
    if (outcome == ProfileOutcome::kRewritten && !FlushFileBuffers(temp.get())) outcome = ProfileOutcome::kWriteFailed;
    const bool complete = outcome == ProfileOutcome::kRewritten;
    if (complete && !CopyBack(prefsPath, prefsInfo, temp.get())) outcome = ProfileOutcome::kCopyBackFailed;
    temp.reset();
    // A temporary file that failed to copy back stays on the Windows 95 family.
    if (!ntFamily && outcome != ProfileOutcome::kCopyBackFailed) {
        std::string errorText;
        bool deferred = false;
        DeleteFileOrDefer(tempPath, errorText, deferred);
    }
    return outcome;
}

}  // namespace kestrup
