#include "identity/principal.h"

#include "platform/launch.h"
#include "platform/registry.h"
#include "platform/system_library.h"
#include "platform/text.h"

#include <windows.h>

#include <cstring>

namespace kestrup {

namespace {

constexpr size_t kKclntBufferChars = 256;
constexpr char kLabel[] = "Default principal:";
constexpr char kKerberosClientKey[] = "Software\\MIT\\Kerberos\\Client\\CurrentVersion";

// KCGetUserName fills the caller's 256-character buffer with a terminated name
// and answers non-zero for success. It is called with the C calling convention,
// which is how a plain __declspec(dllexport) function keeps its undecorated name.
typedef int (*KCGetUserNameFunction)(char* name);

// klist.exe prints a few lines; more than this is not its output of a
// default principal, and a user's program must not make the installer hold it.
constexpr size_t kKlistOutputLimit = 64 * 1024;
// klist.exe answers at once; one that hangs must not stop the installation.
constexpr unsigned long kKlistTimeoutMs = 30 * 1000;

}  // namespace

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

bool GetKerberosBinDirectory(std::string& path) {
    path.clear();
    std::string folder;
    if (!RegReadString(HKEY_LOCAL_MACHINE, kKerberosClientKey, "PathName", folder)) return false;
    AddTrailingBackslash(folder);
    folder += "bin";
    // klist.exe in it must have a usable path; a longer one is refused, not cut.
    if (folder.size() + std::strlen("\\klist.exe") >= MAX_PATH) return false;
    path = folder;
    return true;
}

bool GetKlistPrincipalName(std::string& name) {
    name.clear();
    std::string binDirectory;
    if (!GetKerberosBinDirectory(binDirectory)) return false;
    // klist.exe itself, by its full path, its output read from a pipe: no
    // command interpreter, no batch file and no output file in a folder the
    // user can write, so nothing there can be swapped or read in between.
    const std::string klist = binDirectory + "\\klist.exe";
    std::string output;
    if (RunHiddenCapturingOutput(klist, "\"" + klist + "\" -C", kKlistOutputLimit, kKlistTimeoutMs, output) !=
        CaptureResult::kEnded)
        return false;
    name = PrincipalNameFromKlistOutput(output);
    return true;
}

bool GetKclntUserName(std::string& name) {
    name.clear();
    // The library of another product: from the system folders or the bin
    // folder of the Kerberos for Windows that this 32-bit process would load
    // (its PathName in the plain view), never from this program's folder, the
    // current folder or a PATH folder, where a user could have put a file of
    // that name.
    std::string kerberosBin;
    if (RegReadStringInView(HKEY_LOCAL_MACHINE, kKerberosClientKey, "PathName", 0, kerberosBin)) {
        AddTrailingBackslash(kerberosBin);
        kerberosBin += "bin";
    }
    const std::string path = FindSoftwareLibrary("Kclnt32.dll", kerberosBin);
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
