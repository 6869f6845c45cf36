// Rewrites one prefs.js with the installer's own code on the simulated Windows,
// for the check against real Firefox:
//   rewrite_prefs IN OUT [ACCOUNT-DOMAIN]
// IN is read as bytes, rewritten as the installer rewrites a user's prefs.js
// (the installing account's domain decides the SSPI line), and the result is
// written to OUT.
#include "integration/firefox.h"

#include <winsim/machine.h>

#include <fstream>
#include <iostream>
#include <iterator>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: rewrite_prefs IN OUT [ACCOUNT-DOMAIN]\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << "rewrite_prefs: cannot read " << argv[1] << "\n";
        return 2;
    }
    const std::string original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string prefs =
        "C:\\Documents and Settings\\alice\\Application Data\\Mozilla\\Firefox\\Profiles\\"
        "check.default\\prefs.js";
    try {
        winsim::Machine m;
        m.SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600, 2);
        m.accounts.at(m.logonUser).domain = argc > 3 ? argv[3] : "KESTRUP-PC";
        m.AddFile(prefs, original);
        if (kestrup::RewritePrefsFile(prefs) != kestrup::ProfileOutcome::kRewritten) {
            std::cerr << "rewrite_prefs: the file was left alone\n";
            return 1;
        }
        if (m.OpenHandles() != 0) {
            std::cerr << "rewrite_prefs: handles left open\n";
            return 1;
        }
        std::ofstream out(argv[2], std::ios::binary);
        out << m.FindFile(prefs)->data;
        return out ? 0 : 2;
    } catch (const std::exception& e) {
        std::cerr << "rewrite_prefs: " << e.what() << "\n";
        return 1;
    }
}
