// The simulated Windows machine that host tests build and inspect.
//
// A test makes one Machine; while it lives, every Win32 call of the product acts
// on it. The machine holds a registry (with the 32-bit and 64-bit views of a
// 64-bit Windows, or the single view of a 32-bit one), a file system, the version
// record, the process token, scripted answers for message boxes, programs that
// can be started and Windows Installer packages. Everything the product asks of
// it is recorded, in order, for the test to assert on.
#pragma once

#include <windows.h>
#include <msi.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace winsim {

// Compares texts as Windows compares key, value and file names: A to Z without case.
struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
std::string UpperAscii(std::string text);

// Thrown when the product does something a test did not script (a message box
// nobody answers, a call on a handle that is not open). It unwinds through the
// product, so the test fails loudly at the point of the fault.
struct SimulationError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class Arch { x86, x64 };

// Which registry view a test means: what a 32-bit program sees by default, or the
// machine's native (on x64, 64-bit) view.
enum class View { k32, k64 };

struct RegValue {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    std::string text() const;  // data up to the first zero byte
    DWORD dword() const;
};

struct RegKey {
    std::string name;
    std::map<std::string, std::shared_ptr<RegKey>, NoCaseLess> subkeys;  // enumerated in name order
    std::vector<RegValue> values;                                        // enumerated in creation order
    bool denyRead = false;   // opening fails with ERROR_ACCESS_DENIED
    bool denyWrite = false;  // opening for writing, creating below and setting fail with ERROR_ACCESS_DENIED
    bool deleted = false;
    RegValue* find(const std::string& valueName);
};

struct MessageBoxShown {
    std::string text;
    std::string title;
    UINT style = 0;
};

struct ProcessStart {
    std::string application;  // lpApplicationName, empty when null
    std::string commandLine;
    std::string program;      // the program Windows resolved and ran
    bool wide = false;        // started through CreateProcessW
    BOOL inheritHandles = FALSE;
    DWORD creationFlags = 0;
    DWORD startupFlags = 0;
    WORD showWindow = 0;
    std::string currentDirectory;  // empty when null (the parent's)
    bool environmentInherited = true;
    bool outputCaptured = false;   // its standard output is an inherited pipe
};

// A program that can be started: its exit code and what it does when it runs.
struct Program {
    DWORD exitCode = 0;
    DWORD startError = 0;  // non-zero: CreateProcess fails with this error
    std::function<void(const ProcessStart&)> run;
    std::string output;    // what it prints on standard output (a batch file's ">" catches it)
    bool neverEnds = false;  // runs until TerminateProcess ends it
};

// An anonymous pipe: what was written into it and how much of that was read.
struct Pipe {
    std::string data;
    size_t read = 0;
    size_t Unread() const { return data.size() - read; }
};

// A Windows Installer package file: what installing it answers and does.
struct Package {
    UINT result = ERROR_SUCCESS;
    std::function<void()> install;  // side effects, applied when result is 0 or 3010
};

struct InstallerCall {
    std::string function;  // "MsiInstallProductA", "MsiConfigureProductExA"
    std::string target;    // package path or product code
    std::string properties;
    int uiLevel = 0;       // the internal user-interface level in force
    int installLevel = 0;
    int installState = 0;
};

struct ExitWindowsRequest {
    UINT flags = 0;
    DWORD reason = 0;
    bool shutdownPrivilegeEnabled = false;
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
};

// An account that LookupAccountNameA knows.
struct Account {
    std::string domain;  // the referenced domain it answers
    std::string sid = "S-1-5-21-1004336348-1177238915-682003330-1003";
    SID_NAME_USE use = SidTypeUser;
};

// A DLL that LoadLibraryA can load: its exports by name (with case) and by ordinal.
struct Library {
    std::map<std::string, FARPROC> exports;
    std::map<WORD, FARPROC> ordinals;
    DWORD loadError = 0;  // non-zero: loading fails with this error (its DllMain refused, say)
};

// One LoadLibraryA / LoadLibraryExA call: the name asked for, the flags, and
// the file it loaded (empty when it failed).
struct LibraryRequest {
    std::string name;
    DWORD flags = 0;
    std::string loaded;
};

struct HiveEvent {
    std::string operation;  // "load" or "unload"
    std::string subkey;
    std::string file;       // for loads
    LONG result = 0;
};

// Another program's process, as the process list shows it.
struct RunningProcess {
    DWORD pid = 0;
    std::string exePath;        // its first module
    bool accessDenied = false;  // OpenProcess fails
    bool noModules = false;     // EnumProcessModules fails (a system process, say)
};

// A drive letter: its type and, for a network drive, the share it is mapped to.
struct Drive {
    UINT type = DRIVE_FIXED;
    std::string remoteName;
    bool openFiles = false;  // a connection with open files is not cancelled without force
    // A remembered mapping that is not connected: WNetGetConnectionA answers
    // ERROR_CONNECTION_UNAVAIL and still gives the remote name.
    bool unavailable = false;
};

struct ConnectionCancel {
    std::string name;
    DWORD flags = 0;
    BOOL force = FALSE;
};

// How a scripted dialog is worked: the commands sent to its procedure in turn
// (control identifiers, as a click or a key press produces them).
struct DialogScript {
    std::vector<int> commands;
    bool cannotCreate = false;  // DialogBoxParamA fails, answering -1
};

struct DialogShown {
    std::string templateName;  // "#103" for a numbered template
    INT_PTR initResult = 0;    // what the procedure answered to WM_INITDIALOG
    INT_PTR result = 0;        // what DialogBoxParamA answered
    bool owned = false;
};

class Machine {
public:
    explicit Machine(Arch arch = Arch::x64);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine the Win32 calls act on; throws when no test made one.
    static Machine& Current();

    Arch arch() const { return arch_; }

    // ---- registry --------------------------------------------------------
    // Paths are below a predefined root, single backslashes, no leading one.
    // k32 on an x64 machine maps HKLM\Software\X to HKLM\Software\Wow6432Node\X.
    std::string NativePath(HKEY root, const std::string& path, View view) const;
    RegKey* FindKey(HKEY root, const std::string& path, View view = View::k32);
    RegKey& CreateKey(HKEY root, const std::string& path, View view = View::k32);
    void SetString(HKEY root, const std::string& path, const std::string& name, const std::string& value,
                   View view = View::k32, DWORD type = REG_SZ);
    void SetDword(HKEY root, const std::string& path, const std::string& name, DWORD value, View view = View::k32);
    void SetBinary(HKEY root, const std::string& path, const std::string& name, DWORD type,
                   const std::vector<BYTE>& data, View view = View::k32);
    const RegValue* GetValue(HKEY root, const std::string& path, const std::string& name,
                             View view = View::k32);
    bool HasValue(HKEY root, const std::string& path, const std::string& name, View view = View::k32) {
        return GetValue(root, path, name, view) != nullptr;
    }
    std::string GetString(HKEY root, const std::string& path, const std::string& name, View view = View::k32);
    DWORD GetDword(HKEY root, const std::string& path, const std::string& name, View view = View::k32);
    RegKey& RootKey(HKEY root);

    // ---- environment -----------------------------------------------------
    void SetEnv(const std::string& name, const std::string& value) { env_[name] = value; }
    const std::map<std::string, std::string, NoCaseLess>& Env() const { return env_; }

    // ---- files -----------------------------------------------------------
    // Paths are absolute Windows paths ("C:\dir\file"); parents are created.
    void AddFile(const std::string& path, const std::string& data = "", DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
    void AddDirectory(const std::string& path);
    void RemoveFile(const std::string& path);
    FileEntry* FindFile(const std::string& path);
    bool FileExistsAt(const std::string& path) { auto* f = FindFile(path); return f && !f->directory; }
    std::vector<FileEntry*> ListDirectory(const std::string& directory);  // sorted by name, no "." entries
    // Whether a file handle already open on path forbids this access (share modes both ways).
    bool FileSharingConflict(const std::string& path, DWORD access, DWORD share, bool deleting);
    long long diskSpace = -1;  // bytes WriteFile may still write; -1 for no limit

    std::string modulePath = "C:\\Kestrup\\kestrup.exe";
    std::string windowsDirectory = "C:\\WINDOWS";
    std::string systemDirectory = "C:\\WINDOWS\\system32";
    std::string tempDirectory = "C:\\DOCUME~1\\alice\\LOCALS~1\\Temp\\";

    // ---- version record ---------------------------------------------------
    OSVERSIONINFOEXA version{};
    // Sets the version record; the service pack text is "Service Pack N" when spMajor > 0.
    void SetVersion(DWORD platform, DWORD major, DWORD minor, DWORD build, WORD spMajor = 0,
                    const std::string& csd = "\x01");
    bool versionQueryFails = false;

    // ---- message boxes ---------------------------------------------------
    // Queue the answer to the next box; the box must carry this title.
    void Answer(const std::string& title, int answer) { answers_.push_back({title, answer}); }
    size_t PendingAnswers() const { return answers_.size() + dialogScripts_.size(); }
    std::vector<MessageBoxShown> boxes;
    // Called as each box appears, before it is answered: lets a test look at the
    // machine's state at that moment.
    std::function<void(const MessageBoxShown&)> onBox;

    // ---- user hives -------------------------------------------------------
    // An NTUSER.DAT file with the keys it holds. A hive in use (the logged-on
    // user's) cannot be loaded.
    RegKey& AddHiveFile(const std::string& path, bool inUse = false);
    std::map<std::string, std::shared_ptr<RegKey>, NoCaseLess> hiveFiles;
    std::set<std::string, NoCaseLess> hivesInUse;
    std::vector<HiveEvent> hiveEvents;
    int OpenKeysInside(const std::shared_ptr<RegKey>& tree) const;  // open key handles into this tree

    // ---- other programs' processes -----------------------------------------
    std::vector<RunningProcess> processes;

    // ---- drives and network connections ---------------------------------------
    std::map<char, Drive> drives{{'C', Drive{DRIVE_FIXED, ""}}};  // by upper-case letter
    std::vector<ConnectionCancel> connectionCancels;
    std::vector<char> driveQueries;  // letters WNetGetConnectionA was asked about
    // Closes the libraries the product loaded and, by design, left loaded; returns how many.
    int ReleaseLoadedLibraries();

    // ---- dialogs ---------------------------------------------------------
    void ScriptDialog(DialogScript script) { dialogScripts_.push_back(std::move(script)); }
    std::vector<DialogShown> dialogs;
    bool dialogEnded = false;
    INT_PTR dialogResult = 0;
    DialogScript TakeDialogScript();

    // ---- system messages, language, short names ----------------------------
    std::map<DWORD, std::string> systemMessages;  // FormatMessageA texts by code
    WORD userLanguage = 0x0409;
    bool shortNamesDisabled = false;  // volumes without 8.3 names give the long path back
    bool shortPathFails = false;      // GetShortPathNameA answers 0 (access denied on a folder)
    std::map<std::string, std::string, NoCaseLess> shortAliases;  // short path -> long path handed out
    std::set<void*> localAllocations;  // FormatMessageA buffers not yet released with LocalFree

    // ---- processes -------------------------------------------------------
    void AddProgram(const std::string& path, Program program = {});
    std::vector<ProcessStart> started;        // programs that started
    std::vector<ProcessStart> startFailures;  // starts Windows refused
    int terminatedProcesses = 0;              // TerminateProcess calls that ended a process
    DWORD tickCount = 1000000;                // GetTickCount; a finite wait on a running process advances it

    // ---- Windows Installer -------------------------------------------------
    void AddPackage(const std::string& path, Package package, const std::string& fileData = "MSI");
    std::vector<InstallerCall> installerCalls;
    int installerUiLevel = 1;  // INSTALLUILEVEL_DEFAULT until the product sets one

    // ---- token, shutdown ---------------------------------------------------
    std::set<std::string> privilegesHeld{"SeShutdownPrivilege", "SeRestorePrivilege", "SeBackupPrivilege"};
    std::set<std::string> privilegesEnabled;
    bool openTokenFails = false;
    bool runningAsSystem = false;  // the token's user is LocalSystem (S-1-5-18), as under a deployment tool
    std::vector<ExitWindowsRequest> exitWindowsRequests;

    // ---- accounts, links, libraries, batch files ------------------------------
    std::string logonUser = "alice";  // what WNetGetUserA answers for the current user
    DWORD logonUserError = 0;         // non-zero: WNetGetUserA fails with this error
    std::map<std::string, Account, NoCaseLess> accounts{{"alice", Account{"KESTRUP-PC"}}};
    // A symbolic link at path to target (which need not exist).
    void AddLink(const std::string& path, const std::string& target);
    // A library file at a full path. LoadLibraryA finds it by that path or, for a
    // bare name, in the program's folder, the system folder, the Windows folder
    // or a PATH folder, in that order. Each load is an open handle until freed.
    void AddLibrary(const std::string& path, std::map<std::string, FARPROC> exports, DWORD loadError = 0);
    std::map<std::string, Library, NoCaseLess> libraries;
    std::vector<std::string> libraryLoads;  // the file each successful LoadLibraryA loaded, in order
    std::vector<LibraryRequest> libraryRequests;  // every load asked for, loaded or not
    // The current folder: searched for bare library names (unless
    // SetDllDirectoryA was called) and for bare program names.
    std::string currentDirectory = "C:\\Documents and Settings\\alice\\Desktop";
    // Loaded from the system folder whatever the search order says.
    std::set<std::string, NoCaseLess> knownDlls{"kernel32.dll", "user32.dll", "advapi32.dll", "gdi32.dll",
                                                "msvcrt.dll",   "shell32.dll", "ole32.dll",   "oleaut32.dll",
                                                "comdlg32.dll"};
    // kernel32 functions this Windows lacks (SetDefaultDllDirectories before
    // Windows 8 without KB2533623, SetSearchPathMode and SetProcessDEPPolicy
    // before XP SP3): GetProcAddress does not find them.
    std::set<std::string> missingKernelFunctions;
    // The process-wide settings the hardening calls made.
    DWORD defaultDllDirectories = 0;  // SetDefaultDllDirectories
    bool dllDirectorySet = false;     // SetDllDirectoryA: the current folder is no longer searched
    std::string dllDirectory;
    DWORD searchPathMode = 0;         // SetSearchPathMode
    DWORD depPolicy = 0;              // SetProcessDEPPolicy
    bool heapTerminationOnCorruption = false;
    // The system folder's own libraries the product loads at run time, with
    // their exports pointing at this simulation (msi.dll by ordinal only).
    void AddSystemLibraries();
    // The file of a loaded library whose base name is name, or the empty text.
    std::string LoadedModule(const std::string& name) const;
    // Commands run by the simulated command interpreter for started batch files.
    std::vector<ProcessStart> batchCommands;
    // Called after the product closes a file handle, with the file's path: lets a
    // test act as another program between the product's steps.
    std::function<void(const std::string& path)> onFileClosed;

    // ---- links, delayed deletions, flush faults -------------------------------
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
    // How many names the file at path has (1 for a plain file, 0 when absent).
    int LinkCount(const std::string& path);
    // The path with every link on the way to its last part followed (the last part stays as it is).
    std::string RealPath(const std::string& path);
    std::vector<std::string> delayedDeletions;  // MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT), in order
    DWORD moveFileExError = 0;                  // non-zero: MoveFileExA fails with this error
    bool flushFails = false;                    // FlushFileBuffers fails with ERROR_DISK_FULL

    // ---- bookkeeping -------------------------------------------------------
    // How often each Win32 function was called.
    std::map<std::string, int> calls;
    int CallCount(const std::string& function) const;
    int RegistryCallCount() const;  // every Reg* call
    // Handles the product opened and has not closed (keys, files, searches, processes, tokens).
    int OpenHandles() const;  // module handles (GetModuleHandleA) are not the product's and do not count
    std::vector<std::string> OpenHandleKinds() const;

    // ---- used by the Win32 implementation ---------------------------------
    struct Handle {
        std::string kind;  // "key", "find", "process", "thread", "token", "file", "library"
        std::shared_ptr<RegKey> key;
        bool keyView64 = false;
        bool keyWritable = false;
        std::vector<FileEntry> findEntries;
        size_t findNext = 0;
        DWORD exitCode = 0;
        std::string filePath;
        size_t filePos = 0;
        DWORD fileAccess = 0;
        DWORD fileShare = 0;
        bool deleteOnClose = false;  // FILE_FLAG_DELETE_ON_CLOSE
        std::shared_ptr<Pipe> pipe;  // "pipe-read" and "pipe-write" handles
        bool inheritable = false;
        // A process: it writes its output into childOutput and cannot end while
        // more than kPipeCapacity of it is unread (a full pipe blocks its writer).
        std::shared_ptr<Pipe> childOutput;
        bool neverEnds = false;
        bool terminated = false;
    };
    static constexpr size_t kPipeCapacity = 4096;
    bool ProcessEnded(const Handle& process) const;
    int PipeWriters(const std::shared_ptr<Pipe>& pipe) const;  // write ends open, and running children writing
    HANDLE NewHandle(Handle h);
    Handle* GetHandle(HANDLE h, const char* kind);
    bool CloseHandleEntry(HANDLE h);
    HKEY NewKeyHandle(std::shared_ptr<RegKey> key, bool view64, bool writable);
    Handle* GetKeyHandle(HKEY h);
    std::shared_ptr<RegKey> ResolveKey(HKEY root, const std::string& path, bool view64, bool create,
                                       LONG* error, DWORD* disposition = nullptr);
    bool ResolveView64(REGSAM sam) const;  // which view a registry access reaches
    int TakeAnswer(const std::string& title);
    std::string ResolveProgram(const std::string& application, const std::string& commandLine);
    std::map<std::string, Program, NoCaseLess>& Programs() { return programs_; }
    std::map<std::string, Package, NoCaseLess>& Packages() { return packages_; }
    DWORD lastError = 0;

private:
    Arch arch_;
    std::map<HKEY, std::shared_ptr<RegKey>> roots_;
    std::map<std::string, std::string, NoCaseLess> env_;
    std::map<std::string, FileEntry, NoCaseLess> files_;
    std::deque<std::pair<std::string, int>> answers_;
    std::deque<DialogScript> dialogScripts_;
    std::map<std::string, Program, NoCaseLess> programs_;
    std::map<std::string, Package, NoCaseLess> packages_;
    std::map<uintptr_t, Handle> handles_;
    uintptr_t nextHandle_ = 0x1000;
};

// Counts one call of a Win32 function on the current machine and returns the machine.
Machine& Call(const char* function);
// A UTF-16 text in the machine's ANSI code page; the empty text for null.
std::string Narrow(LPCWSTR text);
// ReadFile on the read end of a pipe: what is there; ERROR_BROKEN_PIPE when it
// is empty and nobody can write any more; a SimulationError where Windows would
// block for ever (empty, with a writer that will never write).
BOOL ReadPipe(Machine& m, Machine::Handle& readEnd, LPVOID buffer, DWORD size, LPDWORD read);

// Splits "A\B\C" into its parts, dropping empty ones.
std::vector<std::string> SplitPath(const std::string& path);
// Windows file-name pattern matching with * and ?, A to Z without case.
bool MatchPattern(const std::string& pattern, const std::string& name);

}  // namespace winsim
