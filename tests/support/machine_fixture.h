// A fresh simulated machine per test, with helpers for the state most tests need.
#pragma once

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <optional>
#include <string>

namespace kestrup_test {

using winsim::Arch;
using winsim::Machine;
using winsim::View;

constexpr char kProgramDir[] = "C:\\Kestrup Setup\\";
constexpr char kPackagePath[] = "C:\\Kestrup Setup\\kfw_release.msi";
constexpr char kInstallDir[] = "C:\\Program Files\\MIT\\Kerberos\\";
constexpr char kNetIdMgrPath[] = "C:\\Program Files\\MIT\\Kerberos\\bin\\netidmgr.exe";

class MachineTest : public ::testing::Test {
protected:
    explicit MachineTest(Arch arch = Arch::x64) : m(arch) { m.modulePath = std::string(kProgramDir) + "kestrup.exe"; }

    void TearDown() override {
        // Every key, file, search, process and token the product opened is closed again.
        EXPECT_EQ(m.OpenHandles(), 0) << "leaked handles";
        EXPECT_TRUE(m.localAllocations.empty()) << "system buffers not released with LocalFree";
        EXPECT_EQ(m.PendingAnswers(), 0u) << "scripted answers for boxes that never appeared";
    }

    // The Kerberos for Windows package as the real one behaves: it installs
    // netidmgr.exe and writes "InstallDir" in the 32-bit view.
    void AddKerberosPackage(UINT result = ERROR_SUCCESS) {
        m.AddPackage(kPackagePath, {result, [this] {
                                        m.AddProgram(kNetIdMgrPath);
                                        m.SetString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos", "InstallDir",
                                                    kInstallDir);
                                    }});
    }

    std::optional<std::string> LogEntry(const std::string& name) {
        const winsim::RegValue* v =
            m.GetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Kestrup\\InstallerLog", name);
        if (!v) return std::nullopt;
        return v->text();
    }

    size_t LogCount() {
        winsim::RegKey* key = m.FindKey(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Kestrup\\InstallerLog");
        return key ? key->values.size() : 0;
    }

    std::vector<std::string> BoxTitles() const {
        std::vector<std::string> titles;
        for (auto& b : m.boxes) titles.push_back(b.title);
        return titles;
    }

    Machine m;
};

}  // namespace kestrup_test
