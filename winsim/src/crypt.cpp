// CryptoAPI's SHA-256 (advapi32), computed for real, on the Windows that have it.
#include <wincrypt.h>
#include "internals.h"

#include <cstring>
#include <map>

using winsim::Machine;

namespace {

// What each hash object was given, by handle; a handle is never reused within a machine.
std::map<uintptr_t, std::string> g_hashed;

uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// FIPS 180-4 SHA-256 of a whole message.
std::string Sha256(std::string message) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const uint64_t bits = static_cast<uint64_t>(message.size()) * 8;
    message += '\x80';
    while (message.size() % 64 != 56) message += '\0';
    for (int i = 7; i >= 0; --i) message += static_cast<char>(bits >> (8 * i));
    for (size_t block = 0; block < message.size(); block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const auto* p = reinterpret_cast<const unsigned char*>(&message[block + 4 * i]);
            w[i] = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        }
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = hh + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        uint32_t add[8] = {a, b, c, d, e, f, g, hh};
        for (int i = 0; i < 8; ++i) h[i] += add[i];
    }
    std::string digest;
    for (uint32_t word : h)
        for (int i = 3; i >= 0; --i) digest += static_cast<char>(word >> (8 * i));
    return digest;
}

// Windows XP SP3, Server 2003 and every NT 6 and later.
bool HasSha256(const Machine& m) {
    const OSVERSIONINFOEXA& v = m.version;
    return v.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           (v.dwMajorVersion > 5 || (v.dwMajorVersion == 5 && v.dwMinorVersion >= 2) ||
            (v.dwMajorVersion == 5 && v.dwMinorVersion == 1 && v.wServicePackMajor >= 3));
}

BOOL Fail(Machine& m, DWORD error) {
    m.lastError = error;
    return FALSE;
}

winsim::Handle* HashHandle(Machine& m, HCRYPTHASH hash) {
    return winsim::Inside(m).GetHandle(reinterpret_cast<HANDLE>(hash), "crypt-hash");
}

}  // namespace

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR, DWORD dwProvType, DWORD dwFlags) {
    Machine& m = winsim::Call("CryptAcquireContextA");
    if (szContainer || !(dwFlags & CRYPT_VERIFYCONTEXT))
        throw winsim::SimulationError(
            "CryptAcquireContextA: only ephemeral (CRYPT_VERIFYCONTEXT) contexts are simulated");
    const OSVERSIONINFOEXA& v = m.version;
    const bool hasProvider = v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion * 10 + v.dwMinorVersion >= 51;
    if (dwProvType != PROV_RSA_AES || !hasProvider) return Fail(m, static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
    winsim::Handle h;
    h.kind = "crypt-provider";
    *phProv = reinterpret_cast<HCRYPTPROV>(winsim::Inside(m).NewHandle(std::move(h)));
    return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD) {
    Machine& m = winsim::Call("CryptReleaseContext");
    const HANDLE handle = reinterpret_cast<HANDLE>(hProv);
    if (!winsim::Inside(m).GetHandle(handle, "crypt-provider")) return Fail(m, ERROR_INVALID_HANDLE);
    return winsim::Inside(m).CloseHandleEntry(handle);
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY, DWORD, HCRYPTHASH* phHash) {
    Machine& m = winsim::Call("CryptCreateHash");
    if (!winsim::Inside(m).GetHandle(reinterpret_cast<HANDLE>(hProv), "crypt-provider"))
        return Fail(m, ERROR_INVALID_HANDLE);
    if (Algid != CALG_SHA_256 || !HasSha256(m)) return Fail(m, static_cast<DWORD>(NTE_BAD_ALGID));
    winsim::Handle h;
    h.kind = "crypt-hash";
    HANDLE handle = winsim::Inside(m).NewHandle(std::move(h));
    g_hashed[reinterpret_cast<uintptr_t>(handle)].clear();
    *phHash = reinterpret_cast<HCRYPTHASH>(handle);
    return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD) {
    Machine& m = winsim::Call("CryptHashData");
    if (!HashHandle(m, hHash)) return Fail(m, ERROR_INVALID_HANDLE);
    g_hashed[hHash].append(reinterpret_cast<const char*>(pbData), dwDataLen);
    return TRUE;
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD) {
    Machine& m = winsim::Call("CryptGetHashParam");
    if (!HashHandle(m, hHash)) return Fail(m, ERROR_INVALID_HANDLE);
    if (dwParam != HP_HASHVAL) throw winsim::SimulationError("CryptGetHashParam: only HP_HASHVAL is simulated");
    if (!pdwDataLen || *pdwDataLen < 32) {
        if (pdwDataLen) *pdwDataLen = 32;
        return Fail(m, ERROR_MORE_DATA);
    }
    const std::string digest = Sha256(g_hashed[hHash]);
    std::memcpy(pbData, digest.data(), 32);
    *pdwDataLen = 32;
    return TRUE;
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
    Machine& m = winsim::Call("CryptDestroyHash");
    if (!HashHandle(m, hHash)) return Fail(m, ERROR_INVALID_HANDLE);
    g_hashed.erase(hHash);
    return winsim::Inside(m).CloseHandleEntry(reinterpret_cast<HANDLE>(hHash));
}
