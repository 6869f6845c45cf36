// Internet Explorer, the credential manager's LSA option, the LSA's KDC list
// and the computer's TCP/IP domain, fitted to the site realm.
#pragma once

#include "platform/user_hives.h"

#include <vector>

namespace kestrup {

// Each answers what became of every user, per value.
std::vector<UserHiveReport> ConfigureInternetExplorer();
std::vector<UserHiveReport> SetMsLsaListForAllUsers();
void WriteKdcNames();
void SetTcpipDomain();

}  // namespace kestrup
