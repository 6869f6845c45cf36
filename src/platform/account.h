// The account of the user who runs the installer.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kestrup {

// The logged-on user's name and the domain of that account as Windows names it.
// False, with both empty, when either cannot be learnt.
bool GetUserAndDomain(std::string& user, std::string& domain);

// The domain of the account a SID names ("S-1-5-21-..."), as Windows names it
// on this computer. False, and empty, when the text is not a SID or Windows
// does not know the account.
bool GetAccountDomainOfSid(const std::string& sid, std::string& domain);

// A SID as text, from its layout in memory (size bytes available); empty when
// it does not fit them.
std::string SidText(const BYTE* sid, size_t size);
// The layout in memory of a SID given as text; false when the text is not one.
bool SidFromText(const std::string& text, std::vector<BYTE>& sid);

}  // namespace kestrup
