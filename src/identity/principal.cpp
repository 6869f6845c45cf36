#include "identity/principal.h"

#include "platform/handles.h"
#include "platform/launch.h"
#include "platform/registry.h"
#include "platform/system_library.h"
#include "platform/text.h"

#include <windows.h>
#include <winnetwk.h>

#include <cstring>
#include <vector>

namespace kestrup {

namespace {

constexpr DWORD kNameChars = 255;       // user name and domain, terminator included
constexpr DWORD kSidBytes = 256;
constexpr DWORD kDomainChars = 256;
constexpr size_t kKclntBufferChars = 256;
constexpr char kLabel[] = "Default principal:";

// KCGetUserName fills the caller's 256-character buffer with a terminated name
// and answers non-zero for success. It is called with the C calling convention,
// which is how a plain __declspec(dllexport) function keeps its undecorated name.
typedef int (*KCGetUserNameFunction)(char* name);

bool GetTempDirectory(std::string& directory) {
    char buffer[MAX_PATH] = {};
    DWORD length = GetTempPathA(MAX_PATH, buffer);
    // A longer path does not fit: Windows then answers the size it needs.
    if (length == 0 || length >= MAX_PATH) return false;
    directory.assign(buffer, length);
    AddTrailingBackslash(directory);
    return true;
}

// Makes path a new, empty file that this program alone created, and keeps it
// open. The temporary folder is writable by the user's unelevated programs, so
// whatever is found at the name beforehand is suspect: a plain file (left over
// from an earlier run) is deleted, anything else (a folder, a link or another
// reparse point) makes the caller give up. CREATE_NEW without following reparse
// points means that a link planted after the check is refused too.
bool CreateFreshFile(const std::string& path, DWORD access, DWORD share, FileHandle& file) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileA(path.c_str())) return false;
    }
    file = FileHandle(CreateFileA(path.c_str(), access, share, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file.valid();
}

void RemoveFile(const std::string& path) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

bool WriteAll(HANDLE file, const std::string& text) {
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

// The file's contents from the handle's position on, up to limit bytes.
std::string ReadAll(HANDLE file, size_t limit = static_cast<size_t>(-1)) {
    std::string text;
    std::vector<char> buffer(4096);
    DWORD read = 0;
    while (text.size() < limit &&
           ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read > 0)
        text.append(buffer.data(), read);
    return text;
}

// Windows will not start a batch file that is open for writing, so the written
// file is held from here on for reading only, sharing nothing but reading: then
// nobody can write, rename or delete it until it has run. Between the two opens
// another program could have changed it; what the new handle reads must be
// exactly what was written.
bool HoldUnchanged(const std::string& path, const std::string& written, FileHandle& file) {
    file = FileHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file.valid() && ReadAll(file.get(), written.size() + 1) == written;
}

// The name part of the principal on the first line that carries the label.
// Lines are taken whole, whatever their length, and a last line without a line
// end counts like any other: no character of the name is lost to a cut line or
// to dropping a line end that is not there.
std::string PrincipalNameFromKlistOutput(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        int label = FindNoCase(line, kLabel);
        if (label == 0) continue;
        std::string name = line.substr(static_cast<size_t>(label - 1) + std::strlen(kLabel));
        TrimSpaces(name);
        int at = FindNoCase(name, "@");
        if (at != 0) name = LeftPart(name, at - 1);
        return name;
    }
    return std::string();
}

}  // namespace

bool GetUserAndDomain(std::string& user, std::string& domain) {
    user.clear();
    domain.clear();
    char name[kNameChars] = {};
    DWORD nameLength = kNameChars;
    RuntimeLibrary mpr = SystemLibrary("mpr.dll");
    auto getUser = mpr.Find<decltype(&::WNetGetUserA)>("WNetGetUserA");
    if (!getUser || getUser(nullptr, name, &nameLength) != NO_ERROR) return false;
    name[kNameChars - 1] = '\0';

    // The first call only learns the sizes.
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    LookupAccountNameA(nullptr, name, nullptr, &sidSize, nullptr, &domainSize, &use);
    if (domainSize == 0) return false;
    // Sizes beyond the fixed buffers are refused rather than handed to Windows
    // with buffers too small for them.
    if (sidSize > kSidBytes || domainSize > kDomainChars) return false;
    BYTE sid[kSidBytes];
    char domainName[kDomainChars] = {};
    if (!LookupAccountNameA(nullptr, name, sid, &sidSize, domainName, &domainSize, &use)) return false;
    domainName[kDomainChars - 1] = '\0';
    // Both outputs hold at most 254 characters; a longer domain is not cut.
    if (std::strlen(domainName) >= kNameChars) return false;
    user = name;
    domain = domainName;
    return true;
}

bool GetKerberosBinDirectory(std::string& path) {
    path.clear();
    std::string folder;
    if (!RegReadString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos\\Client\\CurrentVersion", "PathName", folder))
        return false;
    AddTrailingBackslash(folder);
    folder += "bin";
    // klist.exe in it must have a usable path; a longer one is refused, not cut.
    if (folder.size() + std::strlen("\\klist.exe") >= MAX_PATH) return false;
    path = folder;
    return true;
}

bool RunHiddenAndWait(const std::string& commandLine) {
    return StartProgramA("", commandLine, SW_HIDE, CREATE_NO_WINDOW, true);
}

bool GetKlistPrincipalName(std::string& name) {
    name.clear();
    std::string binDirectory, tempDirectory;
    if (!GetKerberosBinDirectory(binDirectory)) return false;
    if (!GetTempDirectory(tempDirectory)) return false;
    const std::string batchPath = tempDirectory + "~klist.bat";
    const std::string outputPath = tempDirectory + "~klist.txt";
    if (outputPath.size() >= MAX_PATH) return false;

    // Both files stay open until the batch has run and its output has been read:
    // nobody else can write the batch file or delete or rename either file
    // meanwhile. The output file is shared for writing only because the command
    // interpreter must write it.
    FileHandle batch, output;
    if (!CreateFreshFile(batchPath, GENERIC_WRITE, FILE_SHARE_READ, batch)) return false;
    if (!CreateFreshFile(outputPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, output)) {
        batch.reset();
        RemoveFile(batchPath);
        return false;
    }
    // Paths are quoted so that a temporary folder with blanks redirects into this
    // file and runs this batch file, not one at a blank-cut prefix of its path.
    const std::string command = "\"" + binDirectory + "\\klist.exe\" -C > \"" + outputPath + "\"";
    const std::string contents = "@echo off\r\n" + command + "\r\n";
    const bool written = WriteAll(batch.get(), contents);
    batch.reset();
    if (!written || !HoldUnchanged(batchPath, contents, batch)) {
        batch.reset();
        output.reset();
        RemoveFile(batchPath);
        RemoveFile(outputPath);
        return false;
    }

    if (!RunHiddenAndWait("\"" + batchPath + "\"")) return false;  // both files stay, closed

    batch.reset();
    RemoveFile(batchPath);
    name = PrincipalNameFromKlistOutput(ReadAll(output.get()));
    output.reset();
    RemoveFile(outputPath);
    return true;
}

bool GetKclntUserName(std::string& name) {
    name.clear();
    // The library of another product: never from this program's folder or
    // the current folder, where anyone could have put a file of that name.
    const std::string path = FindInSafeFolders("Kclnt32.dll");
    if (path.empty()) return false;
    RuntimeLibrary library(path);
    auto getUserName = library.Find<KCGetUserNameFunction>("KCGetUserName");
    if (!getUserName) return false;
    char buffer[kKclntBufferChars] = {};
    int result = getUserName(buffer);
    // A name that fills the buffer without a terminator is refused, not cut.
    if (result == 0 || std::memchr(buffer, '\0', sizeof buffer) == nullptr) return false;
    name = buffer;
    return true;
}

bool IsPlausiblePrincipal(const std::string& text) {
    if (text.size() < 7 || text.size() > 64) return false;
    bool ending = false;
    for (const char* e : {".edu", ".com", ".org", ".gov", ".mil", ".net"})
        ending = ending || text.find(e) != std::string::npos;
    if (!ending) return false;
    size_t at = text.find('@');
    if (at == std::string::npos || at != text.rfind('@') || at == 0) return false;
    if (text.find("pelnetid") != std::string::npos || text.find(' ') != std::string::npos) return false;
    return text.find_first_of(".-_") >= at;
}

}  // namespace kestrup
