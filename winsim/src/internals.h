// How the Win32 calls work on the machine's parts: the handle table, key
// resolution through the registry views, the registry roots and file table,
// pipes, and the queues of scripted answers. Only winsim/src includes this.
#pragma once

#include <winsim/machine.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace winsim {

// An anonymous pipe: what was written into it and how much of that was read.
struct Pipe {
    std::string data;
    size_t read = 0;
    size_t Unread() const { return data.size() - read; }
};

// One open handle of the product.
struct Handle {
    std::string kind;  // "key", "find", "process", "thread", "token", "file", "library", "module", "pipe-read", ...
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
    std::string openedName;      // the name it was opened by, which deletion on close removes
    std::shared_ptr<Pipe> pipe;  // "pipe-read" and "pipe-write" handles
    bool inheritable = false;
    // A process: it writes its output into childOutput and cannot end while
    // more than kPipeCapacity of it is unread (a full pipe blocks its writer).
    std::shared_ptr<Pipe> childOutput;
    std::string lastOutput;  // reaches childOutput when a wait sees the process end
    bool neverEnds = false;
    bool terminated = false;
    std::vector<RunningProcess> snapshot;  // a Toolhelp snapshot's processes, with the next one to hand out
    size_t snapshotNext = 0;
};

struct Internals {
    explicit Internals(Machine& machine);
    Machine& m;

    std::map<HKEY, std::shared_ptr<RegKey>> roots;
    std::map<std::string, FileEntry, NoCaseLess> files;
    std::map<std::string, std::string, NoCaseLess> shortAliases;  // short path -> long path handed out
    std::map<uintptr_t, Handle> handles;
    uintptr_t nextHandle = 0x1000;
    // The dialog DialogBoxParamA is running.
    bool dialogEnded = false;
    INT_PTR dialogResult = 0;

    HANDLE NewHandle(Handle h);
    Handle* GetHandle(HANDLE h, const char* kind);
    bool CloseHandleEntry(HANDLE h);
    HKEY NewKeyHandle(std::shared_ptr<RegKey> key, bool view64, bool writable);
    Handle* GetKeyHandle(HKEY h);

    // Links on the way are followed; the last key too unless openLink (REG_OPTION_OPEN_LINK).
    std::shared_ptr<RegKey> ResolveKey(HKEY root, const std::string& path, bool view64, bool create, LONG* error,
                                       DWORD* disposition = nullptr, bool openLink = false, int hops = 0);
    bool ResolveView64(REGSAM sam) const;                           // which view a registry access reaches
    int OpenKeysInside(const std::shared_ptr<RegKey>& tree) const;  // open key handles into this tree

    // Whether a file handle already open on path forbids this access (share modes both ways).
    bool FileSharingConflict(const std::string& path, DWORD access, DWORD share, bool deleting) const;

    static constexpr size_t kPipeCapacity = 4096;
    bool ProcessEnded(const Handle& process) const;
    int PipeWriters(const std::shared_ptr<Pipe>& pipe) const;  // write ends open, and running children writing

    // What programs left running do later (Program::finish), by tick count.
    std::vector<std::pair<DWORD, std::function<void()>>> later;
    // Time passes (a finite wait, Sleep): what was due by then happens.
    void AdvanceTicks(DWORD ms);
    // Nobody sees this process's boxes: session 0 on NT 6 and later, or a
    // window station without WSF_VISIBLE.
    bool NobodySees() const;
    // The SID of the process token's user as text.
    std::string TokenUserSid() const;

    int TakeAnswer(const std::string& title);
    DialogScript TakeDialogScript();
};

Internals& Inside(Machine& m);
const Internals& Inside(const Machine& m);

// The machine a part belongs to.
template <class Part>
Machine& MachineOf(Part* part) {
    return static_cast<Machine&>(*part);
}
template <class Part>
const Machine& MachineOf(const Part* part) {
    return static_cast<const Machine&>(*part);
}

// Counts one call of a Win32 function on the current machine and returns the machine.
Machine& Call(const char* function);
// True, with ERROR_CALL_NOT_IMPLEMENTED, when the machine is of the Windows 95 family.
bool IsWideStub(Machine& m);
// A UTF-16 text in the machine's ANSI code page; the empty text for null.
std::string Narrow(LPCWSTR text);
// A text in Windows-1252, the simulated ANSI code page, as WideCharToMultiByte
// gives it: best-fit look-alikes unless noBestFit, then "?"; usedDefault tells.
std::string ToAnsi(const std::wstring& text, bool noBestFit, bool* usedDefault);
// A text in Windows-1252 as UTF-16.
std::wstring Widen(const std::string& text);
// CreateFileA's work. oplocked null: an open that breaks another process's
// oplock waits (a SimulationError); otherwise it goes on and *oplocked tells
// (NtCreateFile with FILE_COMPLETE_IF_OPLOCKED).
HANDLE OpenFile(Machine& m, const std::string& name, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                bool* oplocked);
// Whether an open for access breaks an oplock: anything beyond the attributes.
bool BreaksOplock(DWORD access);
// A SimulationError where Windows would wait for an oplock's holder.
void WaitForOplock(const FileEntry& file, DWORD access);
// SetFileInformationByHandle, kernel32's since Vista: only FileRenameInfo.
BOOL WINAPI SetFileInformationByHandle(HANDLE file, int informationClass, LPVOID information, DWORD size);
// Windows file-name pattern matching with * and ?, A to Z without case.
bool MatchPattern(const std::string& pattern, const std::string& name);
// ReadFile on the read end of a pipe: what is there; ERROR_BROKEN_PIPE when it
// is empty and nobody can write any more; a SimulationError where Windows would
// block for ever (empty, with a writer that will never write).
BOOL ReadPipe(Machine& m, Handle& readEnd, LPVOID buffer, DWORD size, LPDWORD read);
// A SID's text ("S-1-5-21-a-b-c-rid") laid out in memory.
std::vector<BYTE> SidBytes(const std::string& text);

}  // namespace winsim
