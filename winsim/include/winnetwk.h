// Network connections (mpr.dll): the subset Kestrup calls.
#pragma once

#include <windows.h>

#define ERROR_EXTENDED_ERROR 1208L
#define ERROR_NO_NETWORK 1222L
#define ERROR_NOT_CONNECTED 2250L

DWORD WINAPI WNetGetUserA(LPCSTR lpName, LPSTR lpUserName, LPDWORD lpnLength);

