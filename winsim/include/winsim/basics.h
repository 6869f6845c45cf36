// What every part of the simulated machine shares: names compared as Windows
// compares them, the fault a test did not script, and the two registry views.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace winsim {

// Compares texts as Windows compares key, value and file names: A to Z without case.
struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
std::string UpperAscii(std::string text);

// Splits "A\B\C" into its parts, dropping empty ones.
std::vector<std::string> SplitPath(const std::string& path);

// Thrown when the product does something a test did not script (a message box
// nobody answers, a call on a handle that is not open). It unwinds through the
// product, so the test fails loudly at the point of the fault.
struct SimulationError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class Arch { x86, x64 };

// Which registry view a test means: what a 32-bit program sees by default, or the
// machine's native (on x64, 64-bit) view.
enum class View { k32, k64 };

}  // namespace winsim
