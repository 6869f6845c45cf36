// Fuzzes the rewrite of one prefs.js file on the simulated Windows against the
// rewrite of its text: the file must end up holding exactly the rewritten text
// with CR LF line ends, its backup the original bytes, with no handle left
// open and no temporary file left behind. The text's own properties are
// prefs_rewrite's; this target shows that reading, writing and copying back
// lose or change nothing on the way.
#include "integration/firefox.h"
#include "integration/firefox_prefs_text.h"
#include "support/failure.h"

#include <winsim/machine.h>

#include <cstdint>
#include <string>

namespace {

constexpr char kPrefs[] =
    "C:\\Documents and Settings\\alice\\Application Data\\Mozilla\\Firefox\\Profiles\\f.default\\prefs.js";
constexpr char kDomain[] = "KESTRUP-PC";

[[noreturn]] void Fail(const char* what, const std::string& detail) { fuzz_support::Fail("prefs_file", what, detail); }

std::string CrLf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return -1;
    const std::string input(reinterpret_cast<const char*>(data), size);
    winsim::Machine m;
    m.accounts.at(m.logonUser).domain = kDomain;
    m.AddFile(kPrefs, input);
    kestrup::RewritePrefsFile(kPrefs);
    if (m.OpenHandles() != 0) Fail("handles left open", input);
    const winsim::FileEntry* prefs = m.FindFile(kPrefs);
    const winsim::FileEntry* backup = m.FindFile(std::string(kPrefs) + ".BACKUP");
    if (!prefs || !backup || backup->data != input) Fail("the backup is not the original", input);
    if (m.FindFile(std::string(kPrefs) + ".TEMP")) Fail("the temporary file was left", input);
    const std::string expected = CrLf(kestrup::RewritePrefsText(input, kDomain));
    if (prefs->data != expected) Fail("the file is not the rewritten text", prefs->data + "\n----\n" + expected);
    return 0;
}
