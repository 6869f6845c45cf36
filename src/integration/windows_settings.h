// Internet Explorer, the credential manager's LSA option, the LSA's KDC list
// and the computer's TCP/IP domain, fitted to the site realm.
#pragma once

namespace kestrup {

void ConfigureInternetExplorer();
void SetMsLsaListForAllUsers();
void WriteKdcNames();
void SetTcpipDomain();

}  // namespace kestrup
