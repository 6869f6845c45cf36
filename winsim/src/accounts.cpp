// The logged-on user's name (mpr.dll), account lookup and file owners (advapi32).
#include <windows.h>
#include <winnetwk.h>
#include <aclapi.h>
#include "internals.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

using winsim::Account;
using winsim::Machine;

namespace winsim {

// Revision, count of sub-authorities, the 48-bit authority big-endian, the
// sub-authorities little-endian.
std::vector<BYTE> SidBytes(const std::string& text) {
    std::vector<unsigned long long> parts;
    size_t pos = 2;
    if (text.compare(0, 2, "S-") != 0) throw winsim::SimulationError("malformed SID " + text);
    while (pos <= text.size()) {
        size_t end = text.find('-', pos);
        std::string part = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos)
            throw winsim::SimulationError("malformed SID " + text);
        parts.push_back(std::strtoull(part.c_str(), nullptr, 10));
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    if (parts.size() < 2 || parts.size() > 17) throw winsim::SimulationError("malformed SID " + text);
    std::vector<BYTE> sid;
    sid.push_back(static_cast<BYTE>(parts[0]));
    sid.push_back(static_cast<BYTE>(parts.size() - 2));
    for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<BYTE>(parts[1] >> shift));
    for (size_t i = 2; i < parts.size(); ++i)
        for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<BYTE>(parts[i] >> shift));
    return sid;
}

}  // namespace winsim

using winsim::SidBytes;

namespace {

template <class Char>
DWORD GetUserInto(Machine& m, bool named, const std::basic_string<Char>& user, Char* out, LPDWORD length) {
    DWORD result = NO_ERROR;
    if (m.logonUserError) {
        result = m.logonUserError;
    } else if (named) {
        result = ERROR_NOT_CONNECTED;  // no device or connection of that name
    } else if (!length) {
        result = ERROR_INVALID_PARAMETER;
    } else if (*length < user.size() + 1 || !out) {
        *length = static_cast<DWORD>(user.size() + 1);
        result = ERROR_MORE_DATA;
    } else {
        std::copy(user.c_str(), user.c_str() + user.size() + 1, out);
    }
    m.lastError = result;
    return result;
}

// The account's name as the W calls see it.
std::wstring WideName(const std::string& key, const Account& account) {
    return account.wideName.empty() ? winsim::Widen(key) : account.wideName;
}

BOOL Fail(Machine& m, DWORD error) {
    m.lastError = error;
    return FALSE;
}

// LookupAccountName's answer for an account found (or not): its SID and domain.
template <class Char>
BOOL AnswerAccount(Machine& m, const Account* account, PSID sid, LPDWORD sidBytes, Char* domain, LPDWORD domainChars,
                   PSID_NAME_USE use) {
    if (!account) return Fail(m, ERROR_NONE_MAPPED);
    const std::vector<BYTE> bytes = winsim::SidBytes(account->sid);
    const std::basic_string<Char> domainText(account->domain.begin(), account->domain.end());
    const DWORD sidSize = static_cast<DWORD>(bytes.size()), domainSize = static_cast<DWORD>(domainText.size() + 1);
    if (*sidBytes < sidSize || *domainChars < domainSize) {
        *sidBytes = sidSize;
        *domainChars = domainSize;
        return Fail(m, ERROR_INSUFFICIENT_BUFFER);
    }
    if (!sid || !domain) throw winsim::SimulationError("LookupAccountName with buffer sizes but no buffers");
    std::memcpy(sid, bytes.data(), bytes.size());
    *sidBytes = sidSize;
    std::copy(domainText.c_str(), domainText.c_str() + domainSize, domain);
    *domainChars = domainSize - 1;
    if (use) *use = account->use;
    m.lastError = ERROR_SUCCESS;
    return TRUE;
}

// LookupAccountSid's answer: the name and domain of the account whose SID it is.
template <class Char>
BOOL AnswerSid(Machine& m, PSID sid, Char* name, LPDWORD nameChars, Char* domain, LPDWORD domainChars,
               PSID_NAME_USE use) {
    for (const auto& [key, account] : m.accounts) {
        const std::vector<BYTE> bytes = winsim::SidBytes(account.sid);
        // The count of sub-authorities (second byte) decides the length.
        if (static_cast<const BYTE*>(sid)[1] != bytes[1] || std::memcmp(bytes.data(), sid, bytes.size()) != 0) continue;
        std::basic_string<Char> nameText, domainText(account.domain.begin(), account.domain.end());
        if constexpr (sizeof(Char) == 1)
            nameText = key;
        else
            nameText = WideName(key, account);
        // Too small a buffer answers the sizes needed, terminators included.
        if (*nameChars < nameText.size() + 1 || *domainChars < domainText.size() + 1) {
            *nameChars = static_cast<DWORD>(nameText.size() + 1);
            *domainChars = static_cast<DWORD>(domainText.size() + 1);
            return Fail(m, ERROR_INSUFFICIENT_BUFFER);
        }
        std::copy(nameText.c_str(), nameText.c_str() + nameText.size() + 1, name);
        std::copy(domainText.c_str(), domainText.c_str() + domainText.size() + 1, domain);
        *nameChars = static_cast<DWORD>(nameText.size());
        *domainChars = static_cast<DWORD>(domainText.size());
        if (use) *use = account.use;
        m.lastError = ERROR_SUCCESS;
        return TRUE;
    }
    return Fail(m, ERROR_NONE_MAPPED);
}

}  // namespace

DWORD WINAPI WNetGetUserA(LPCSTR lpName, LPSTR lpUserName, LPDWORD lpnLength) {
    Machine& m = winsim::Call("WNetGetUserA");
    return GetUserInto(m, lpName && *lpName, m.logonUser, lpUserName, lpnLength);
}

DWORD WINAPI WNetGetUserW(LPCWSTR lpName, LPWSTR lpUserName, LPDWORD lpnLength) {
    Machine& m = winsim::Call("WNetGetUserW");
    if (winsim::IsWideStub(m)) return ERROR_CALL_NOT_IMPLEMENTED;
    const std::wstring user = m.logonUserWide.empty() ? winsim::Widen(m.logonUser) : m.logonUserWide;
    return GetUserInto(m, lpName && *lpName, user, lpUserName, lpnLength);
}

BOOL WINAPI LookupAccountNameA(LPCSTR lpSystemName, LPCSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                               LPSTR ReferencedDomainName, LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    Machine& m = winsim::Call("LookupAccountNameA");
    if (lpSystemName && *lpSystemName) return Fail(m, ERROR_NOT_SUPPORTED);  // only the local system is simulated
    if (!lpAccountName || !cbSid || !cchReferencedDomainName) return Fail(m, ERROR_INVALID_PARAMETER);
    // "DOMAIN\name" must name the account's own domain.
    std::string name = lpAccountName, domain;
    size_t slash = name.find('\\');
    if (slash != std::string::npos) {
        domain = name.substr(0, slash);
        name = name.substr(slash + 1);
    }
    auto it = m.accounts.find(name);
    const bool found = it != m.accounts.end() && (slash == std::string::npos ||
                                                  winsim::UpperAscii(domain) == winsim::UpperAscii(it->second.domain));
    return AnswerAccount(m, found ? &it->second : nullptr, Sid, cbSid, ReferencedDomainName, cchReferencedDomainName,
                         peUse);
}

// Only a plain name of the local system is modelled: the product asks no other.
BOOL WINAPI LookupAccountNameW(LPCWSTR lpSystemName, LPCWSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                               LPWSTR ReferencedDomainName, LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    Machine& m = winsim::Call("LookupAccountNameW");
    if (winsim::IsWideStub(m)) return FALSE;
    if ((lpSystemName && *lpSystemName) || !lpAccountName || !cbSid || !cchReferencedDomainName)
        throw winsim::SimulationError("LookupAccountNameW: only a plain local name is modelled");
    const std::wstring name = lpAccountName;
    const Account* found = nullptr;
    // Names compare without case (A to Z modelled); other characters exactly.
    const auto sameName = [&](const std::wstring& other) {
        return other.size() == name.size() &&
               std::equal(name.begin(), name.end(), other.begin(), [](wchar_t a, wchar_t b) {
                   return a == b || (a < 0x80 && b < 0x80 && std::toupper(a) == std::toupper(b));
               });
    };
    for (const auto& [key, account] : m.accounts)
        if (sameName(WideName(key, account))) found = &account;
    return AnswerAccount(m, found, Sid, cbSid, ReferencedDomainName, cchReferencedDomainName, peUse);
}

BOOL WINAPI LookupAccountSidA(LPCSTR lpSystemName, PSID Sid, LPSTR Name, LPDWORD cchName, LPSTR ReferencedDomainName,
                              LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    Machine& m = winsim::Call("LookupAccountSidA");
    if (lpSystemName && *lpSystemName) return Fail(m, ERROR_NOT_SUPPORTED);  // only the local system is simulated
    if (!Sid || !cchName || !cchReferencedDomainName) return Fail(m, ERROR_INVALID_PARAMETER);
    return AnswerSid(m, Sid, Name, cchName, ReferencedDomainName, cchReferencedDomainName, peUse);
}

BOOL WINAPI LookupAccountSidW(LPCWSTR lpSystemName, PSID Sid, LPWSTR Name, LPDWORD cchName, LPWSTR ReferencedDomainName,
                              LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    Machine& m = winsim::Call("LookupAccountSidW");
    if (winsim::IsWideStub(m)) return FALSE;
    if ((lpSystemName && *lpSystemName) || !Sid || !cchName || !cchReferencedDomainName)
        throw winsim::SimulationError("LookupAccountSidW: only the local system is modelled");
    return AnswerSid(m, Sid, Name, cchName, ReferencedDomainName, cchReferencedDomainName, peUse);
}

// ---- the desktop's shell ------------------------------------------------------

std::string winsim::Internals::TokenUserSid() const { return m.TokenSid(); }

namespace {
HWND ShellWindow() { return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x5E11)); }
}  // namespace

// There is no shell on a desktop nobody sees (session 0, a service's window station).
HWND WINAPI GetShellWindow(void) {
    Machine& m = winsim::Call("GetShellWindow");
    return m.shellUser.empty() || winsim::Inside(m).NobodySees() ? nullptr : ShellWindow();
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    Machine& m = winsim::Call("GetWindowThreadProcessId");
    if (hWnd != ShellWindow() || m.shellUser.empty()) {
        m.lastError = 1400;  // ERROR_INVALID_WINDOW_HANDLE
        return 0;
    }
    if (lpdwProcessId) *lpdwProcessId = Machine::kShellPid;
    return Machine::kShellPid + 4;
}

// ---- owners of files ----------------------------------------------------------

namespace {

// The SID a file's owner has when no test set one: the user whose profile
// folder holds it (she made it there), else Administrators.
std::string DefaultOwner(Machine& m, const std::string& path) {
    const std::string list = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    for (winsim::View view : {winsim::View::k32, winsim::View::k64}) {
        winsim::RegKey* profiles = m.FindKey(HKEY_LOCAL_MACHINE, list, view);
        if (!profiles) continue;
        for (auto& [sid, key] : profiles->subkeys) {
            winsim::RegValue* folder = key->find("ProfileImagePath");
            const std::string prefix = folder ? winsim::UpperAscii(folder->text()) + "\\" : std::string();
            if (folder && !folder->text().empty() && winsim::UpperAscii(path).rfind(prefix, 0) == 0) return sid;
        }
    }
    return "S-1-5-32-544";
}

}  // namespace

DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                             PSID* ppsidOwner, PSID*, PACL*, PACL*, PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    Machine& m = winsim::Call("GetSecurityInfo");
    winsim::Handle* h = winsim::Inside(m).GetHandle(handle, "file");
    if (ObjectType != SE_FILE_OBJECT || !h) return ERROR_INVALID_HANDLE;
    if (!(h->fileAccess & (READ_CONTROL | GENERIC_READ | GENERIC_ALL))) return ERROR_ACCESS_DENIED;
    if (!(SecurityInfo & OWNER_SECURITY_INFORMATION) || !ppsidOwner || !ppSecurityDescriptor)
        return ERROR_INVALID_PARAMETER;
    winsim::FileEntry* e = m.FindFile(h->filePath);
    if (!e) return ERROR_FILE_NOT_FOUND;
    const std::vector<BYTE> sid = SidBytes(e->owner.empty() ? DefaultOwner(m, e->path) : e->owner);
    void* block = std::malloc(sid.size());
    std::memcpy(block, sid.data(), sid.size());
    m.localAllocations.insert(block);
    *ppsidOwner = block;
    *ppSecurityDescriptor = block;
    return ERROR_SUCCESS;
}

// A self-relative descriptor holding the owner alone: revision, control
// (SE_SELF_RELATIVE), then the offsets of owner, group, SACL and DACL.
BOOL WINAPI GetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION RequestedInformation,
                                    PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength, LPDWORD lpnLengthNeeded) {
    Machine& m = winsim::Call("GetKernelObjectSecurity");
    winsim::Handle* h = winsim::Inside(m).GetHandle(Handle, "file");
    winsim::FileEntry* e = h ? m.FindFile(h->filePath) : nullptr;
    m.lastError = !e                                                               ? ERROR_INVALID_HANDLE
                  : !(h->fileAccess & (READ_CONTROL | GENERIC_READ | GENERIC_ALL)) ? ERROR_ACCESS_DENIED
                                                                                   : ERROR_SUCCESS;
    if (m.lastError) return FALSE;
    std::vector<BYTE> descriptor = {1, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (RequestedInformation & OWNER_SECURITY_INFORMATION) {
        descriptor[4] = 20;
        const std::vector<BYTE> sid = winsim::SidBytes(e->owner.empty() ? DefaultOwner(m, e->path) : e->owner);
        descriptor.insert(descriptor.end(), sid.begin(), sid.end());
    }
    *lpnLengthNeeded = static_cast<DWORD>(descriptor.size());
    if (nLength < descriptor.size()) {
        m.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    std::memcpy(pSecurityDescriptor, descriptor.data(), descriptor.size());
    return TRUE;
}

BOOL WINAPI SetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                    PSECURITY_DESCRIPTOR SecurityDescriptor) {
    Machine& m = winsim::Call("SetKernelObjectSecurity");
    winsim::Handle* h = winsim::Inside(m).GetHandle(Handle, "file");
    winsim::FileEntry* e = h ? m.FindFile(h->filePath) : nullptr;
    const DWORD needed =
        ((SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) ? WRITE_OWNER : 0) |
        ((SecurityInformation & DACL_SECURITY_INFORMATION) ? WRITE_DAC : 0);
    m.lastError = !e ? ERROR_INVALID_HANDLE : (h->fileAccess & needed) != needed ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    if (m.lastError) return FALSE;
    const BYTE* descriptor = static_cast<const BYTE*>(SecurityDescriptor);
    std::string owner;  // the SID at the owner's offset, as text
    if ((SecurityInformation & OWNER_SECURITY_INFORMATION) && descriptor[4]) {
        const BYTE* sid = descriptor + descriptor[4];
        unsigned long long authority = 0;
        for (int i = 2; i < 8; ++i) authority = authority << 8 | sid[i];
        owner = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
        for (int i = 0; i < sid[1]; ++i) {
            DWORD part = 0;
            std::memcpy(&part, sid + 8 + 4 * i, sizeof part);
            owner += "-" + std::to_string(part);
        }
    }
    // An owner other than the token's user or Administrators takes SeRestorePrivilege.
    if (!owner.empty() && owner != winsim::Inside(m).TokenUserSid() && owner != "S-1-5-32-544" &&
        !m.privilegesEnabled.count("SeRestorePrivilege")) {
        m.lastError = ERROR_INVALID_OWNER;
        return FALSE;
    }
    m.CountChange();
    if (!owner.empty()) e->owner = owner;
    return TRUE;
}
