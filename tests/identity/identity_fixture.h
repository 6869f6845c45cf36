// A machine with Kerberos for Windows's klist.exe and, when a test wants it,
// Kclnt32.dll, whose answers each test chooses.
#pragma once

#include "support/machine_fixture.h"

#include <cstring>
#include <string>

namespace kestrup_test {

constexpr char kClientKey[] = "Software\\MIT\\Kerberos\\Client\\CurrentVersion";
constexpr char kKlistPath[] = "C:\\Program Files\\MIT\\Kerberos\\bin\\klist.exe";

// What the simulated Kclnt32.dll's KCGetUserName writes and answers.
struct KclntAnswer {
    std::string name;
    int result = 1;
    bool unterminated = false;  // fills all 256 characters, no terminator
    int calls = 0;
};
inline KclntAnswer g_kclnt;

inline int FakeKCGetUserName(char* out) {
    ++g_kclnt.calls;
    if (g_kclnt.unterminated)
        std::memset(out, 'x', 256);
    else
        std::memcpy(out, g_kclnt.name.c_str(), g_kclnt.name.size() + 1);
    return g_kclnt.result;
}

class IdentityTest : public MachineTest {
public:  // the helpers are also called from table lambdas
    void Furnish() override { g_kclnt = KclntAnswer{}; }

    std::string BatchPath() const { return m.tempDirectory + "~klist.bat"; }
    std::string OutputPath() const { return m.tempDirectory + "~klist.txt"; }

    // Kerberos for Windows installed with a klist.exe that prints output.
    void InstallKlist(const std::string& output, winsim::Program program = {}) {
        m.SetString(HKEY_LOCAL_MACHINE, kClientKey, "PathName", "C:\\Program Files\\MIT\\Kerberos\\");
        program.output = output;
        m.AddProgram(kKlistPath, std::move(program));
    }
    void KlistReports(const std::string& principal) {
        InstallKlist("Ticket cache: API:krb5cc\r\nDefault principal: " + principal +
                     "\r\n\r\nValid starting     Expires            Service principal\r\n");
    }

    // In the system folder unless a folder is named.
    void InstallKclnt(const std::string& name, const std::string& folder = "") {
        g_kclnt.name = name;
        std::string path = folder.empty() ? m.systemDirectory : folder;
        if (path.back() != '\\') path += '\\';
        m.AddLibrary(path + "Kclnt32.dll", {{"KCGetUserName", reinterpret_cast<FARPROC>(&FakeKCGetUserName)}});
    }

    void SetAccountDomain(const std::string& domain) { m.accounts.at(m.logonUser).domain = domain; }
    void SetUser(const std::string& user, const std::string& domain) {
        m.logonUser = user;
        m.accounts[user] = winsim::Account{domain};
    }
};

}  // namespace kestrup_test
