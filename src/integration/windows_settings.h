// Internet Explorer, the credential manager's LSA option, the LSA's KDC list
// and the computer's TCP/IP domain, fitted to the site realm.
#pragma once

#include "platform/user_hives.h"

#include <vector>

namespace kestrup {

// Each answers what became of every user, per value. With laterUsers the
// default profile's hive gets the values too, for accounts made later.
std::vector<UserHiveReport> ConfigureInternetExplorer(bool laterUsers = false);
std::vector<UserHiveReport> SetMsLsaListForAllUsers(bool laterUsers = false);
// Each true when every value was written.
bool WriteKdcNames();
bool SetTcpipDomain();

}  // namespace kestrup
