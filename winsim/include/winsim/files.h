// The machine's file system: files and folders with attributes and version
// resources, hard links, symbolic links and junctions (the compatibility
// junctions of Windows Vista and later among them), the well-known folders, and
// the faults a test can inject into writing, flushing and delayed deletion.
#pragma once

#include <winsim/basics.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace winsim {

// The run ended from outside (a time limit, a logoff, a power cut) before a
// change to the file system was made: what it left is on the disk, and every
// handle it held is closed as the product unwinds.
struct RunEnded : SimulationError {
    using SimulationError::SimulationError;
};

struct FileEntry {
    std::string path;  // as created
    bool directory = false;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    std::string data;
    // Version resource: the translation table (language, code page) and the
    // FileVersion strings by "llllcccc" block name; no resource when both are empty.
    std::vector<std::pair<WORD, WORD>> translations;
    std::map<std::string, std::string> fileVersions;
    std::string linkTarget;  // a symbolic link (with FILE_ATTRIBUTE_REPARSE_POINT): opens follow it
    // A further name of another file (a hard link): the path of the entry that
    // holds the content; lookups of this name reach that entry.
    std::string hardLinkOf;
    DWORD fileIndex = 0;  // identity that GetFileInformationByHandle reports; 0 until first asked
    // A compatibility junction of Windows Vista and later: its own access list
    // denies Everyone "list folder / read data" on it, followed or not.
    bool denyListRead = false;
    // Another process holds an opportunistic lock (batch or filter) on it: an
    // open for more than its attributes, a deletion or a rename over it waits
    // until the holder lets go, which winsim refuses with a SimulationError.
    bool oplocked = false;
    // The owner's SID; empty: the user whose profile folder (ProfileList) holds
    // it, else Administrators (S-1-5-32-544), as for what an administrator makes.
    std::string owner;
};

class FileSystem {
public:
    // Paths are absolute Windows paths ("C:\dir\file"); parents are created.
    void AddFile(const std::string& path, const std::string& data = "", DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
    void AddDirectory(const std::string& path);
    void RemoveFile(const std::string& path);
    FileEntry* FindFile(const std::string& path);
    bool FileExistsAt(const std::string& path) {
        FileEntry* f = FindFile(path);
        return f && !f->directory;
    }
    std::vector<FileEntry*> ListDirectory(const std::string& directory);  // sorted by name, no "." entries

    std::string modulePath = "C:\\Kestrup\\kestrup.exe";
    std::string windowsDirectory = "C:\\WINDOWS";
    std::string systemDirectory = "C:\\WINDOWS\\system32";
    std::string tempDirectory = "C:\\DOCUME~1\\alice\\LOCALS~1\\Temp\\";
    // The current folder: searched for bare library names (unless
    // SetDllDirectoryA was called) and for bare program names.
    std::string currentDirectory = "C:\\Documents and Settings\\alice\\Desktop";

    // ---- links -------------------------------------------------------------
    // A symbolic link at path to target (which need not exist).
    void AddLink(const std::string& path, const std::string& target);
    // A second name for an existing file: both paths reach one content.
    void AddHardLink(const std::string& path, const std::string& existing);
    // A directory junction at path leading to target; folders below it are reached through it.
    void AddJunction(const std::string& path, const std::string& target);
    // A compatibility junction as Windows Vista and later make them: hidden,
    // system, and denying a read open of itself (paths below it still work).
    void AddCompatibilityJunction(const std::string& path, const std::string& target);
    // The NT 6.x layout: "C:\Users" with "C:\Documents and Settings" leading to it,
    // and in each profile AppData\Roaming, AppData\Local and Documents with the
    // junctions "Application Data", "Local Settings", "My Documents" and the like.
    void AddNt6ProfilesFolder(const std::string& profilesFolder = "C:\\Users");
    void AddNt6Profile(const std::string& profileDirectory);
    std::vector<std::string> deniedOpens;  // opens refused by a junction's deny entry, in order
    // Paths a search or an open reached through a link on the way (to a share, it
    // would have authenticated there), in order.
    std::vector<std::string> linksFollowed;
    void NoteLinksFollowed(const std::string& path);
    // How many names the file at path has (1 for a plain file, 0 when absent).
    int LinkCount(const std::string& path);
    // The path with every link on the way to its last part followed (the last part stays as it is).
    std::string RealPath(const std::string& path);

    // ---- short names -------------------------------------------------------
    bool shortNamesDisabled = false;  // volumes without 8.3 names give the long path back
    bool shortPathFails = false;      // GetShortPathNameA answers 0 (access denied on a folder)

    // ---- faults and other programs -------------------------------------------
    long long diskSpace = -1;                   // bytes WriteFile may still write; -1 for no limit
    bool flushFails = false;                    // FlushFileBuffers fails with ERROR_DISK_FULL
    std::vector<std::string> delayedDeletions;  // MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT), in order
    DWORD moveFileExError = 0;                  // non-zero: MoveFileExA fails with this error
    // N > 0: the Nth change to the file system from now on (a file created or
    // emptied, written, cut, renamed, deleted, its attributes or owner set)
    // ends the run instead of being made: RunEnded is thrown.
    int endRunAtChange = 0;
    void CountChange();
    // Called after the product closes a file handle, with the file's path: lets a
    // test act as another program between the product's steps.
    std::function<void(const std::string& path)> onFileClosed;
};

}  // namespace winsim
