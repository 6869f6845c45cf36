// Whether a path read from a user's files or registry may be used by the
// elevated installer at all.
#pragma once

#include <string>

namespace kestrup {

// True only for an absolute path on a local fixed disk: a drive letter, a
// colon and a backslash, on a drive GetDriveTypeA calls DRIVE_FIXED. UNC paths
// (\\server\share), device and long-path forms (\\?\, \\.\, \??\) and relative
// paths are refused by their form: opening any of them can make Windows
// authenticate to a host of the user's choosing, and the installer's
// credentials could be relayed from there. Removable, network, optical and
// RAM drive letters are refused by their type.
bool IsOnLocalFixedDisk(const std::string& path);

}  // namespace kestrup
