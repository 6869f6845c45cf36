// The CryptoAPI calls the product uses: a SHA-256 hash of a file's bytes.
#pragma once

#include <windows.h>

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTKEY;
typedef unsigned int ALG_ID;

#define PROV_RSA_AES 24
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CALG_SHA_256 0x0000800c
#define HP_HASHVAL 0x0002
#define NTE_BAD_ALGID 0x80090008L
#define NTE_PROV_TYPE_NOT_DEF 0x80090017L

// PROV_RSA_AES with SHA-256 is there from Windows XP SP3 and Server 2003 on.
// Windows XP up to SP2 has the provider without SHA-256 (CryptCreateHash
// fails with NTE_BAD_ALGID); older Windows lack the provider type.
BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider, DWORD dwProvType,
                                 DWORD dwFlags);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash);
BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);
