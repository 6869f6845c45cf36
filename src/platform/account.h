// The account of the user who runs the installer.
#pragma once

#include <string>

namespace kestrup {

// The logged-on user's name and the domain of that account as Windows names it.
// False, with both empty, when either cannot be learnt.
bool GetUserAndDomain(std::string& user, std::string& domain);

}  // namespace kestrup
