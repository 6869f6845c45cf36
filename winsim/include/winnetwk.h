// Network connections (mpr.dll): the subset Kestrup calls.
#pragma once

#include <windows.h>

#define ERROR_EXTENDED_ERROR 1208L
#define ERROR_NO_NETWORK 1222L
#define ERROR_NOT_CONNECTED 2250L
#define ERROR_CONNECTION_UNAVAIL 1201L

DWORD WINAPI WNetGetUserA(LPCSTR lpName, LPSTR lpUserName, LPDWORD lpnLength);
DWORD WINAPI WNetGetUserW(LPCWSTR lpName, LPWSTR lpUserName, LPDWORD lpnLength);

#define CONNECT_UPDATE_PROFILE 0x00000001
DWORD WINAPI WNetGetConnectionA(LPCSTR lpLocalName, LPSTR lpRemoteName, LPDWORD lpnLength);
DWORD WINAPI WNetCancelConnection2A(LPCSTR lpName, DWORD dwFlags, BOOL fForce);
