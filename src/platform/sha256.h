// SHA-256 (FIPS 180-4) in plain C++: every Windows the installer runs on can
// check a file against its pin, where CryptoAPI has SHA-256 only from
// Windows XP SP3 on (and the 95 family, Windows 2000 and early XP are the
// very systems the engine installers are for).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrup {

class Sha256 {
public:
    Sha256();
    void Add(const unsigned char* data, size_t count);
    // The digest as 64 lower-case hexadecimal digits; the object is spent.
    std::string HexDigest();

private:
    void Block(const unsigned char* block);
    uint32_t state_[8];
    unsigned char pending_[64];
    size_t pendingCount_ = 0;
    uint64_t totalBytes_ = 0;
};

}  // namespace kestrup
