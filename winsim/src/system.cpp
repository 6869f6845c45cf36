// Environment, text conversion, version record, directories, token, shutdown
// and message boxes.
#include <windows.h>
#include "internals.h"

#include <cstring>
#include <string>

namespace winsim {

void System::SetVersion(DWORD platform, DWORD major, DWORD minor, DWORD build, WORD spMajor, const std::string& csd) {
    version = OSVERSIONINFOEXA{};
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.dwBuildNumber = build;
    version.dwPlatformId = platform;
    version.wServicePackMajor = spMajor;
    std::string text = csd;
    if (text == "\x01") text = spMajor ? "Service Pack " + std::to_string(spMajor) : "";
    std::strncpy(version.szCSDVersion, text.c_str(), sizeof(version.szCSDVersion) - 1);
}

}  // namespace winsim

using winsim::Machine;

namespace {

// Copies text into a caller's buffer the way the GetXxxDirectoryA calls do:
// the length without terminator on success, the size needed (with terminator)
// when the buffer is too small.
DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
    if (!buffer || size < text.size() + 1) return static_cast<DWORD>(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

// Windows-1252, the ANSI code page of the simulated machine: 0x80..0x9F.
const wchar_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

wchar_t ToWide(unsigned char c) { return (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : c; }

int FromWide(wchar_t w) {
    if (w < 0x80 || (w >= 0xA0 && w <= 0xFF)) return static_cast<int>(w);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == w) return 0x80 + i;
    return -1;
}

// A few of Windows' best-fit mappings into Windows-1252, used unless
// WC_NO_BEST_FIT_CHARS: look-alikes that turn into path separators.
int BestFit(wchar_t w) {
    switch (w) {
    case 0x2215:  // DIVISION SLASH
        return '/';
    case 0xFF3C:  // FULLWIDTH REVERSE SOLIDUS
        return '\\';
    case 0xFF02:  // FULLWIDTH QUOTATION MARK
        return '"';
    default:
        return -1;
    }
}

unsigned char UpperCp1252(unsigned char c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 32);
    if (c == 0x9A || c == 0x9C || c == 0x9E) return static_cast<unsigned char>(c - 0x10);
    if (c == 0xFF) return 0x9F;
    return c;
}

}  // namespace

DWORD WINAPI GetLastError(void) { return Machine::Current().lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { Machine::Current().lastError = dwErrCode; }

DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize) {
    Machine& m = winsim::Call("ExpandEnvironmentStringsA");
    std::string src = lpSrc ? lpSrc : "", out;
    size_t i = 0;
    while (i < src.size()) {
        if (src[i] == '%') {
            size_t end = src.find('%', i + 1);
            if (end != std::string::npos) {
                auto it = m.Env().find(src.substr(i + 1, end - i - 1));
                if (it != m.Env().end()) {
                    out += it->second;
                    i = end + 1;
                    continue;
                }
                // An undefined name stays as it is, percent signs included.
                out += src.substr(i, end - i);
                i = end;
                continue;
            }
        }
        out += src[i++];
    }
    DWORD needed = static_cast<DWORD>(out.size() + 1);
    if (lpDst && nSize >= needed) std::memcpy(lpDst, out.c_str(), needed);
    return needed;
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    Machine& m = winsim::Call("GetEnvironmentVariableA");
    auto it = m.Env().find(lpName ? lpName : "");
    if (it == m.Env().end()) {
        m.lastError = 203;  // ERROR_ENVVAR_NOT_FOUND
        return 0;
    }
    return CopyOut(it->second, lpBuffer, nSize);
}

DWORD WINAPI CharUpperBuffA(LPSTR lpsz, DWORD cchLength) {
    winsim::Call("CharUpperBuffA");
    for (DWORD i = 0; i < cchLength; ++i) lpsz[i] = static_cast<char>(UpperCp1252(static_cast<unsigned char>(lpsz[i])));
    return cchLength;
}

LPSTR WINAPI CharUpperA(LPSTR lpsz) {
    CharUpperBuffA(lpsz, static_cast<DWORD>(std::strlen(lpsz)));
    return lpsz;
}

int WINAPI MultiByteToWideChar(UINT, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                               int cchWideChar) {
    Machine& m = winsim::Call("MultiByteToWideChar");
    size_t n = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    if (cchWideChar == 0) return static_cast<int>(n);
    if (static_cast<size_t>(cchWideChar) < n) {
        m.lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    for (size_t i = 0; i < n; ++i) lpWideCharStr[i] = ToWide(static_cast<unsigned char>(lpMultiByteStr[i]));
    return static_cast<int>(n);
}

namespace winsim {

std::wstring Widen(const std::string& text) {
    std::wstring out;
    for (char c : text) out += ToWide(static_cast<unsigned char>(c));
    return out;
}

std::string ToAnsi(const std::wstring& text, bool noBestFit, bool* usedDefault) {
    std::string out;
    for (wchar_t w : text) {
        int c = FromWide(w);
        if (c < 0 && !noBestFit) c = BestFit(w);
        if (c < 0) {
            c = '?';
            if (usedDefault) *usedDefault = true;
        }
        out += static_cast<char>(c);
    }
    return out;
}

}  // namespace winsim

UINT WINAPI GetACP(void) {
    winsim::Call("GetACP");
    return 1252;
}

int WINAPI WideCharToMultiByte(UINT, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                               int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    Machine& m = winsim::Call("WideCharToMultiByte");
    size_t n = 0;
    if (cchWideChar < 0)
        while (lpWideCharStr[n++] != 0) {
        }
    else
        n = static_cast<size_t>(cchWideChar);
    if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
    if (cbMultiByte == 0) return static_cast<int>(n);
    if (static_cast<size_t>(cbMultiByte) < n) {
        m.lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    for (size_t i = 0; i < n; ++i) {
        int c = FromWide(lpWideCharStr[i]);
        if (c < 0 && !(dwFlags & WC_NO_BEST_FIT_CHARS)) c = BestFit(lpWideCharStr[i]);
        if (c < 0) {
            c = lpDefaultChar ? static_cast<unsigned char>(*lpDefaultChar) : '?';
            if (lpUsedDefaultChar) *lpUsedDefaultChar = TRUE;
        }
        lpMultiByteStr[i] = static_cast<char>(c);
    }
    return static_cast<int>(n);
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    Machine& m = winsim::Call("GetVersionExA");
    if (m.versionQueryFails || !info) {
        m.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA)) {
        OSVERSIONINFOEXA v = m.version;
        v.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
        std::memcpy(info, &v, sizeof v);
        return TRUE;
    }
    if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOA)) {
        std::memcpy(info, &m.version, sizeof(OSVERSIONINFOA));
        info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        return TRUE;
    }
    m.lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    Machine& m = winsim::Call("GetModuleFileNameA");
    if (hModule) {
        m.lastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    const std::string& path = m.modulePath;
    if (nSize == 0) return 0;
    if (path.size() + 1 > nSize) {
        // Windows truncates, terminates and answers the buffer size.
        std::memcpy(lpFilename, path.c_str(), nSize - 1);
        lpFilename[nSize - 1] = 0;
        m.lastError = ERROR_INSUFFICIENT_BUFFER;
        return nSize;
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    m.lastError = ERROR_SUCCESS;
    return static_cast<DWORD>(path.size());
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    return CopyOut(winsim::Call("GetSystemDirectoryA").systemDirectory, lpBuffer, uSize);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    return CopyOut(winsim::Call("GetWindowsDirectoryA").windowsDirectory, lpBuffer, uSize);
}

void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) { *lpSystemTime = winsim::Call("GetSystemTime").systemTime; }

DWORD WINAPI GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
    return CopyOut(winsim::Call("GetTempPathA").tempDirectory, lpBuffer, nBufferLength);
}

// ---- token and shutdown -------------------------------------------------------

namespace {
struct PrivilegeName {
    const char* name;
    DWORD luid;
};
const PrivilegeName kPrivileges[] = {
    {"SeShutdownPrivilege", 19}, {"SeRestorePrivilege", 18}, {"SeBackupPrivilege", 17}};
}  // namespace

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    Machine& m = winsim::Call("OpenProcessToken");
    // Another process's token: only the shell's is modelled, opened through a
    // query right; the token handle keeps its user's SID.
    winsim::Handle* process =
        ProcessHandle == GetCurrentProcess() ? nullptr : winsim::Inside(m).GetHandle(ProcessHandle, "process");
    bool shell = process && process->filePath == std::to_string(Machine::kShellPid) &&
                 (process->fileAccess & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION));
    if (m.openTokenFails || (ProcessHandle != GetCurrentProcess() && !shell) || !TokenHandle) {
        m.lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    winsim::Handle h;
    h.kind = "token";
    h.fileAccess = DesiredAccess;
    if (shell) h.filePath = m.shellUser;
    *TokenHandle = winsim::Inside(m).NewHandle(h);
    return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength) {
    Machine& m = winsim::Call("GetTokenInformation");
    winsim::Handle* h = winsim::Inside(m).GetHandle(TokenHandle, "token");
    if (!h || !(h->fileAccess & TOKEN_QUERY) || TokenInformationClass != TokenUser || !ReturnLength) {
        m.lastError = h ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
        return FALSE;
    }
    // The shell's token, or ours: S-1-5-18 (LocalSystem) or the token's user.
    const std::vector<BYTE> bytes =
        winsim::SidBytes(h->filePath.empty() ? winsim::Inside(m).TokenUserSid() : h->filePath);
    const BYTE* sid = bytes.data();
    const DWORD sidSize = static_cast<DWORD>(bytes.size());
    *ReturnLength = static_cast<DWORD>(sizeof(TOKEN_USER)) + sidSize;
    if (TokenInformationLength < *ReturnLength || !TokenInformation) {
        m.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    BYTE* out = static_cast<BYTE*>(TokenInformation);
    std::memcpy(out + sizeof(TOKEN_USER), sid, sidSize);
    TOKEN_USER* user = static_cast<TOKEN_USER*>(TokenInformation);
    user->User.Sid = out + sizeof(TOKEN_USER);
    user->User.Attributes = 0;
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    Machine& m = winsim::Call("LookupPrivilegeValueA");
    if (lpSystemName) {
        m.lastError = ERROR_NOT_SUPPORTED;
        return FALSE;
    }
    for (auto& p : kPrivileges)
        if (winsim::UpperAscii(p.name) == winsim::UpperAscii(lpName ? lpName : "")) {
            lpLuid->LowPart = p.luid;
            lpLuid->HighPart = 0;
            return TRUE;
        }
    m.lastError = ERROR_NO_SUCH_PRIVILEGE;
    return FALSE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState, DWORD,
                                  PTOKEN_PRIVILEGES, PDWORD) {
    Machine& m = winsim::Call("AdjustTokenPrivileges");
    winsim::Handle* h = winsim::Inside(m).GetHandle(TokenHandle, "token");
    if (!h || !(h->fileAccess & TOKEN_ADJUST_PRIVILEGES)) {
        m.lastError = h ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (DisableAllPrivileges) {
        m.privilegesEnabled.clear();
        m.lastError = ERROR_SUCCESS;
        return TRUE;
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& la = NewState->Privileges[i];
        for (auto& p : kPrivileges) {
            if (p.luid != la.Luid.LowPart) continue;
            if (!m.privilegesHeld.count(p.name)) {
                allAssigned = false;
            } else if (la.Attributes & SE_PRIVILEGE_ENABLED) {
                m.privilegesEnabled.insert(p.name);
            } else {
                m.privilegesEnabled.erase(p.name);
            }
        }
    }
    // Success, with ERROR_NOT_ALL_ASSIGNED when the token lacks a privilege.
    m.lastError = allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;
    return TRUE;
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    Machine& m = winsim::Call("ExitWindowsEx");
    bool enabled = m.privilegesEnabled.count("SeShutdownPrivilege") != 0;
    m.exitWindowsRequests.push_back({uFlags, dwReason, enabled});
    bool needsPrivilege = (uFlags & (EWX_SHUTDOWN | EWX_REBOOT)) != 0;
    if (needsPrivilege && !enabled) {
        m.lastError = ERROR_PRIVILEGE_NOT_HELD;
        return FALSE;
    }
    return TRUE;
}

// ---- message boxes -------------------------------------------------------------

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    Machine& m = winsim::Call("MessageBoxA");
    std::string title = lpCaption ? lpCaption : "Error";
    if (hWnd) throw winsim::SimulationError("message box \"" + title + "\" shown with an owner window");
    if (winsim::Inside(m).NobodySees())
        throw winsim::SimulationError("message box \"" + title + "\" shown where nobody sees it: it never returns");
    m.boxes.push_back({lpText ? lpText : "", title, uType});
    if (m.onBox) m.onBox(m.boxes.back());
    return winsim::Inside(m).TakeAnswer(title);
}

// ---- session and window station ----------------------------------------------------

bool winsim::Internals::NobodySees() const {
    bool nt6 = m.version.dwPlatformId == VER_PLATFORM_WIN32_NT && m.version.dwMajorVersion >= 6;
    return (nt6 && m.sessionId == 0) || !m.windowStationVisible;
}

DWORD WINAPI GetCurrentProcessId(void) {
    winsim::Call("GetCurrentProcessId");
    return 1000;
}

BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) {
    Machine& m = winsim::Call("ProcessIdToSessionId");
    if (dwProcessId != GetCurrentProcessId() || !pSessionId) {
        m.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    *pSessionId = m.sessionId;
    return TRUE;
}

// The process's window station is not the product's to close: not an open handle.
HWINSTA WINAPI GetProcessWindowStation(void) {
    winsim::Call("GetProcessWindowStation");
    return reinterpret_cast<HWINSTA>(static_cast<uintptr_t>(0x57A7));
}

BOOL WINAPI GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength, LPDWORD lpnLengthNeeded) {
    Machine& m = winsim::Call("GetUserObjectInformationA");
    if (hObj != reinterpret_cast<HANDLE>(GetProcessWindowStation()) || nIndex != UOI_FLAGS) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (lpnLengthNeeded) *lpnLengthNeeded = sizeof(USEROBJECTFLAGS);
    if (!pvInfo || nLength < sizeof(USEROBJECTFLAGS)) {
        m.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    USEROBJECTFLAGS flags = {FALSE, FALSE, m.windowStationVisible ? static_cast<DWORD>(WSF_VISIBLE) : 0u};
    std::memcpy(pvInfo, &flags, sizeof flags);
    return TRUE;
}

BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
    Machine& m = winsim::Call("IsWow64Process");
    if (hProcess != GetCurrentProcess() || !Wow64Process) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *Wow64Process = m.arch() == winsim::Arch::x64;
    return TRUE;
}
