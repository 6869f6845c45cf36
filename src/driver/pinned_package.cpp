#include "driver/pinned_package.h"

#include "driver/event_log.h"
#include "platform/system_library.h"
#include "platform/text.h"
#include "site_constants.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

namespace kestrup {

namespace {

// CryptoAPI, looked up rather than imported: the first Windows 95 has none,
// and an import it cannot resolve would stop the program from starting.
struct CryptoApi {
    decltype(&::CryptAcquireContextA) acquire =
        LoadedModuleFunction<decltype(&::CryptAcquireContextA)>("advapi32.dll", "CryptAcquireContextA");
    decltype(&::CryptReleaseContext) release =
        LoadedModuleFunction<decltype(&::CryptReleaseContext)>("advapi32.dll", "CryptReleaseContext");
    decltype(&::CryptCreateHash) createHash =
        LoadedModuleFunction<decltype(&::CryptCreateHash)>("advapi32.dll", "CryptCreateHash");
    decltype(&::CryptHashData) hashData =
        LoadedModuleFunction<decltype(&::CryptHashData)>("advapi32.dll", "CryptHashData");
    decltype(&::CryptGetHashParam) getHashParam =
        LoadedModuleFunction<decltype(&::CryptGetHashParam)>("advapi32.dll", "CryptGetHashParam");
    decltype(&::CryptDestroyHash) destroyHash =
        LoadedModuleFunction<decltype(&::CryptDestroyHash)>("advapi32.dll", "CryptDestroyHash");
    bool complete() const { return acquire && release && createHash && hashData && getHashParam && destroyHash; }
};

// A provider context and the hash object made in it, released in that order on every path.
struct Sha256Hash {
    const CryptoApi& api;
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    explicit Sha256Hash(const CryptoApi& cryptoApi) : api(cryptoApi) {}
    Sha256Hash(const Sha256Hash&) = delete;
    Sha256Hash& operator=(const Sha256Hash&) = delete;
    ~Sha256Hash() {
        if (hash) api.destroyHash(hash);
        if (provider) api.release(provider, 0);
    }
};

enum class HashOutcome { kDone, kNoSha256, kUnreadable };

// CALG_SHA_256, which the headers name only for builds that need XP SP3 or later.
constexpr ALG_ID kSha256Algorithm = 0x0000800c;

std::string HexText(const BYTE* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; ++i) text += {digits[bytes[i] >> 4], digits[bytes[i] & 0xF]};
    return text;
}

// The SHA-256 of what the file reads from its current position to its end.
// The AES provider has SHA-256 from Windows XP SP3 and Server 2003 on; older
// Windows fail to give the provider or the algorithm (kNoSha256).
HashOutcome FileSha256(HANDLE file, std::string& digest, DWORD& error) {
    const CryptoApi api;
    Sha256Hash sha(api);
    if (!api.complete()) {
        error = ERROR_PROC_NOT_FOUND;
        return HashOutcome::kNoSha256;
    }
    if (!api.acquire(&sha.provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !api.createHash(sha.provider, kSha256Algorithm, 0, 0, &sha.hash)) {
        error = GetLastError();
        return HashOutcome::kNoSha256;
    }
    std::vector<BYTE> buffer(64 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            error = GetLastError();
            return HashOutcome::kUnreadable;
        }
        if (read == 0) break;
        if (!api.hashData(sha.hash, buffer.data(), read, 0)) {
            error = GetLastError();
            return HashOutcome::kNoSha256;
        }
    }
    BYTE value[32];
    DWORD length = sizeof value;
    if (!api.getHashParam(sha.hash, HP_HASHVAL, value, &length, 0) || length != sizeof value) {
        error = GetLastError();
        return HashOutcome::kNoSha256;
    }
    digest = HexText(value, sizeof value);
    return HashOutcome::kDone;
}

std::string ErrorCodeText(DWORD error) {
    const BYTE bytes[4] = {BYTE(error >> 24), BYTE(error >> 16), BYTE(error >> 8), BYTE(error)};
    return "0x" + HexText(bytes, sizeof bytes);
}

}  // namespace

PackagePins SitePackagePins() {
    PackagePins pins;
    for (const site::PinnedFile& file : site::kPinnedFiles)
        if (*file.sha256) pins[file.fileName] = file.sha256;
    return pins;
}

bool HoldPinnedPackage(const PackagePins& pins, const std::string& fileName, const std::string& path,
                       FileHandle& held) {
    held.reset();
    const auto pin = pins.find(fileName);
    if (pin == pins.end()) return true;
    const std::string unchecked =
        "ERROR: " + path + " cannot be checked against the SHA-256 this installer was built for: ";
    // Shared for reading only: while this handle is open nobody can write,
    // replace, rename or delete the file, and its installer can still read it.
    FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            LogInstallerEvent(unchecked + "it cannot be opened without sharing it for writing (error " +
                              IntToText(static_cast<int>(error)) + ").");
        return false;
    }
    std::string digest;
    DWORD error = 0;
    switch (FileSha256(file.get(), digest, error)) {
    case HashOutcome::kNoSha256:
        // Never a match: a pin that cannot be checked does not let the file through.
        LogInstallerEvent(unchecked + "this Windows cannot compute SHA-256 (error " + ErrorCodeText(error) + ").");
        return false;
    case HashOutcome::kUnreadable:
        LogInstallerEvent(unchecked + "it cannot be read (error " + IntToText(static_cast<int>(error)) + ").");
        return false;
    case HashOutcome::kDone:
        break;
    }
    if (digest != pin->second) {
        LogInstallerEvent("ERROR: " + path + " is not the file this installer was built for: SHA-256 " + digest +
                          ", expected " + pin->second + ".");
        return false;
    }
    held = std::move(file);
    return true;
}

}  // namespace kestrup
