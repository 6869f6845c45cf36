// Identifiers shared by the resource script and the program.
#pragma once

#define IDD_INCOMPATIBLE_SOFTWARE 103
#define IDB_BANNER 101
#define IDC_CALENDAR_OK 3
#define IDC_CALENDAR_CANCEL 7
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
