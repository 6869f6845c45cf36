// The logged-on user's name (mpr.dll), account lookup and file owners (advapi32).
#include <windows.h>
#include <winnetwk.h>
#include <aclapi.h>
#include "internals.h"

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

DWORD WINAPI WNetGetUserA(LPCSTR lpName, LPSTR lpUserName, LPDWORD lpnLength) {
    Machine& m = winsim::Call("WNetGetUserA");
    DWORD result = NO_ERROR;
    if (m.logonUserError) {
        result = m.logonUserError;
    } else if (lpName && *lpName) {
        result = ERROR_NOT_CONNECTED;  // no device or connection of that name
    } else if (!lpnLength) {
        result = ERROR_INVALID_PARAMETER;
    } else if (*lpnLength < m.logonUser.size() + 1 || !lpUserName) {
        *lpnLength = static_cast<DWORD>(m.logonUser.size() + 1);
        result = ERROR_MORE_DATA;
    } else {
        std::memcpy(lpUserName, m.logonUser.c_str(), m.logonUser.size() + 1);
    }
    m.lastError = result;
    return result;
}

BOOL WINAPI LookupAccountNameA(LPCSTR lpSystemName, LPCSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                               LPSTR ReferencedDomainName, LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    Machine& m = winsim::Call("LookupAccountNameA");
    auto fail = [&](DWORD error) {
        m.lastError = error;
        return FALSE;
    };
    if (lpSystemName && *lpSystemName) return fail(ERROR_NOT_SUPPORTED);  // only the local system is simulated
    if (!lpAccountName || !cbSid || !cchReferencedDomainName) return fail(ERROR_INVALID_PARAMETER);
    // "DOMAIN\name" must name the account's own domain.
    std::string name = lpAccountName, domain;
    size_t slash = name.find('\\');
    if (slash != std::string::npos) {
        domain = name.substr(0, slash);
        name = name.substr(slash + 1);
    }
    auto it = m.accounts.find(name);
    if (it == m.accounts.end() ||
        (slash != std::string::npos && winsim::UpperAscii(domain) != winsim::UpperAscii(it->second.domain)))
        return fail(ERROR_NONE_MAPPED);
    const Account& account = it->second;
    std::vector<BYTE> sid = winsim::SidBytes(account.sid);
    DWORD sidSize = static_cast<DWORD>(sid.size());
    DWORD domainSize = static_cast<DWORD>(account.domain.size() + 1);
    if (*cbSid < sidSize || *cchReferencedDomainName < domainSize) {
        *cbSid = sidSize;
        *cchReferencedDomainName = domainSize;
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!Sid || !ReferencedDomainName)
        throw winsim::SimulationError("LookupAccountNameA with buffer sizes but no buffers");
    std::memcpy(Sid, sid.data(), sid.size());
    *cbSid = sidSize;
    std::memcpy(ReferencedDomainName, account.domain.c_str(), domainSize);
    *cchReferencedDomainName = domainSize - 1;
    if (peUse) *peUse = account.use;
    m.lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL WINAPI LookupAccountSidA(LPCSTR lpSystemName, PSID Sid, LPSTR Name, LPDWORD cchName, LPSTR ReferencedDomainName,
                              LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    Machine& m = winsim::Call("LookupAccountSidA");
    auto fail = [&](DWORD error) {
        m.lastError = error;
        return FALSE;
    };
    if (lpSystemName && *lpSystemName) return fail(ERROR_NOT_SUPPORTED);  // only the local system is simulated
    if (!Sid || !cchName || !cchReferencedDomainName) return fail(ERROR_INVALID_PARAMETER);
    for (const auto& [name, account] : m.accounts) {
        const std::vector<BYTE> sid = winsim::SidBytes(account.sid);
        // The count of sub-authorities (second byte) decides the length.
        if (static_cast<const BYTE*>(Sid)[1] != sid[1] || std::memcmp(sid.data(), Sid, sid.size()) != 0) continue;
        // Too small a buffer answers the sizes needed, terminators included.
        if (*cchName < name.size() + 1 || *cchReferencedDomainName < account.domain.size() + 1) {
            *cchName = static_cast<DWORD>(name.size() + 1);
            *cchReferencedDomainName = static_cast<DWORD>(account.domain.size() + 1);
            return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(Name, name.c_str(), name.size() + 1);
        std::memcpy(ReferencedDomainName, account.domain.c_str(), account.domain.size() + 1);
        *cchName = static_cast<DWORD>(name.size());
        *cchReferencedDomainName = static_cast<DWORD>(account.domain.size());
        if (peUse) *peUse = account.use;
        m.lastError = ERROR_SUCCESS;
        return TRUE;
    }
    return fail(ERROR_NONE_MAPPED);
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
