// How a fuzz target reports a broken property: what broke and the text that
// shows it, then abort(), so that libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_support {

// Bytes as text: line feeds kept, other control and 8-bit bytes as \xHH
// (the texts hold NULs, which would end a C string early).
inline std::string Printable(const std::string& bytes) {
    std::string text;
    char hex[8];
    for (unsigned char c : bytes) {
        if (c == '\n' || (c >= 0x20 && c < 0x7f)) {
            text += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

[[noreturn]] inline void Fail(const char* target, const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: %s\n%s\n", target, what, Printable(detail).c_str());
    std::abort();
}

}  // namespace fuzz_support
