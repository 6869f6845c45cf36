#include "driver/pinned_package.h"

#include "driver/event_log.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "site_constants.h"

#include <windows.h>

#include <vector>

namespace kestrup {

namespace {

// The SHA-256 of what the file reads from its current position to its end.
bool FileSha256(HANDLE file, std::string& digest, DWORD& error) {
    Sha256 sha;
    std::vector<unsigned char> buffer(64 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (read == 0) break;
        sha.Add(buffer.data(), read);
    }
    digest = sha.HexDigest();
    return true;
}

}  // namespace

PackagePins SitePackagePins() {
    PackagePins pins;
    for (const site::PinnedFile& file : site::kPinnedFiles)
        if (*file.sha256) pins[file.fileName] = file.sha256;
    return pins;
}

bool HoldPinnedPackage(const PackagePins& pins, const std::string& fileName, const std::string& path,
                       FileHandle& held) {
    held.reset();
    const auto pin = pins.find(fileName);
    if (pin == pins.end()) return true;
    const std::string unchecked =
        "ERROR: " + path + " cannot be checked against the SHA-256 this installer was built for: ";
    // Shared for reading only: while this handle is open nobody can write,
    // replace, rename or delete the file, and its installer can still read it.
    FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            LogInstallerEvent(unchecked + "it cannot be opened without sharing it for writing (error " +
                              IntToText(static_cast<int>(error)) + ").");
        return false;
    }
    std::string digest;
    DWORD error = 0;
    if (!FileSha256(file.get(), digest, error)) {
        LogInstallerEvent(unchecked + "it cannot be read (error " + IntToText(static_cast<int>(error)) + ").");
        return false;
    }
    if (digest != pin->second) {
        LogInstallerEvent("ERROR: " + path + " is not the file this installer was built for: SHA-256 " + digest +
                          ", expected " + pin->second + ".");
        return false;
    }
    held = std::move(file);
    return true;
}

}  // namespace kestrup
