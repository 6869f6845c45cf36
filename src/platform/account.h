// The account of the user who runs the installer.
#pragma once

#include <windows.h>

#include <string>

namespace kestrup {

// The logged-on user's name and the domain of that account as Windows names it.
// False, with both empty, when either cannot be learnt.
bool GetUserAndDomain(std::string& user, std::string& domain);

// A SID as text, from its layout in memory (size bytes available); empty when
// it does not fit them.
std::string SidText(const BYTE* sid, size_t size);

}  // namespace kestrup
