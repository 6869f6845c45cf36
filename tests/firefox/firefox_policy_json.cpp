// Writes Firefox's policy with the installer's own code on a simulated 64-bit
// Windows, over the entries given as a site's own, and prints it as the
// policies.json Firefox reads where there is no registry:
//   firefox_policy_json [EXISTING-ENTRY...]
// By the rules of Firefox's Windows reader: a key is an object, a REG_SZ a
// string, a REG_DWORD a number, a key whose first value is named "1" an array
// of its values in order. Both views must give the same policies.
#include "integration/firefox_policy.h"

#include <winsim/machine.h>

#include <iostream>

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) throw winsim::SimulationError("a control character in " + text);
        out += c;
    }
    return out + "\"";
}

std::string Json(const winsim::RegKey& key) {
    const bool array = !key.values.empty() && key.values[0].name == "1";
    std::string out;
    for (const winsim::RegValue& v : key.values) {
        if (v.type != REG_SZ && v.type != REG_DWORD)
            throw winsim::SimulationError("a value of another type: " + v.name);
        out += (out.empty() ? "" : ", ") + (array ? "" : Quoted(v.name) + ": ") +
               (v.type == REG_DWORD ? std::to_string(v.dword()) : Quoted(v.text()));
    }
    if (array) return "[" + out + "]";
    for (const auto& [name, child] : key.subkeys) out += (out.empty() ? "" : ", ") + Quoted(name) + ": " + Json(*child);
    return "{" + out + "}";
}

}  // namespace

int main(int argc, char** argv) {
    const char* firefox = "Software\\Policies\\Mozilla\\Firefox";
    try {
        winsim::Machine m(winsim::Arch::x64);
        for (winsim::View view : {winsim::View::k32, winsim::View::k64})
            for (int i = 1; i < argc; ++i)
                m.SetString(HKEY_LOCAL_MACHINE, std::string(firefox) + "\\Authentication\\SPNEGO", std::to_string(i),
                            argv[i], view);
        if (LONG result = kestrup::WriteFirefoxPolicy(); result != ERROR_SUCCESS) {
            std::cerr << "firefox_policy_json: the policy was not written (" << result << ")\n";
            return 1;
        }
        const std::string policies = Json(*m.FindKey(HKEY_LOCAL_MACHINE, firefox, winsim::View::k32));
        if (Json(*m.FindKey(HKEY_LOCAL_MACHINE, firefox, winsim::View::k64)) != policies || m.OpenHandles() != 0) {
            std::cerr << "firefox_policy_json: the views differ, or handles were left open\n";
            return 1;
        }
        std::cout << "{\"policies\": " << policies << "}\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "firefox_policy_json: " << e.what() << "\n";
        return 1;
    }
}
