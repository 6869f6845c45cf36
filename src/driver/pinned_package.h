// Packages the site pinned by SHA-256 when it built the program. They lie in
// the program's folder, which users may be able to write: a pinned file is
// hashed on a handle that shares neither writing nor deleting, and that handle
// stays open until the file's installer has ended, so the file that was
// checked is the file that is installed.
#pragma once

#include "platform/handles.h"

#include <map>
#include <string>

namespace kestrup {

// The pinned SHA-256 (64 lower-case hexadecimal digits) by file name; a file
// not named here is not pinned.
using PackagePins = std::map<std::string, std::string>;

// The pins this program was built with.
PackagePins SitePackagePins();

// Whether the package file at path may be installed. True when fileName is not
// pinned (held stays closed) or the file's SHA-256 is its pin: held then keeps
// the file open without write or delete sharing; keep it until the installer
// has ended. False when it is pinned and absent, different, or cannot be
// checked (the file cannot be opened that way or read): the file then counts as missing, and every case but absence is
// written to the installer event log.
bool HoldPinnedPackage(const PackagePins& pins, const std::string& fileName, const std::string& path, FileHandle& held);

}  // namespace kestrup
