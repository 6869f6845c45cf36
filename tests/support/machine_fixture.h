// A fresh simulated machine per test, and per row of a table test, with helpers
// for the state most tests need.
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
    explicit MachineTest(Arch arch = Arch::x64) : arch_(arch), machine_(std::in_place, arch), m(*machine_) {
        m.modulePath = std::string(kProgramDir) + "kestrup.exe";
    }

    // What every machine of a fixture holds before its test, or its row, begins.
    // A fixture that runs tables with ForEachRow furnishes its machines here
    // rather than in its constructor.
    virtual void Furnish() {}
    void SetUp() override { Furnish(); }

    void TearDown() override { ExpectLeftClean(); }

    // Every key, file, search, process and token the product opened is closed
    // again, and every scripted answer was used.
    void ExpectLeftClean() {
        EXPECT_EQ(m.OpenHandles(), 0) << "leaked handles";
        EXPECT_TRUE(m.localAllocations.empty()) << "system buffers not released with LocalFree";
        EXPECT_EQ(m.PendingAnswers(), 0u) << "scripted answers for boxes that never appeared";
    }

    // Runs body for each row of a table, each on a machine of its own: the
    // machine a row leaves is checked as a test's is, then replaced by a new one
    // furnished like the first, so no row sees what another changed.
    template <class Rows, class Body>
    void ForEachRow(const Rows& rows, Body body) {
        size_t index = 0;
        for (const auto& row : rows) {
            if (index > 0) FreshMachine();
            SCOPED_TRACE("table row " + std::to_string(index++));
            body(row);
        }
    }

    void FreshMachine() {
        ExpectLeftClean();
        // The new machine takes the old one's place, so m (and whatever a
        // fixture's helpers captured of it) reaches the new one.
        machine_.reset();
        machine_.emplace(arch_);
        m.modulePath = std::string(kProgramDir) + "kestrup.exe";
        Furnish();
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
        const winsim::RegValue* v = m.GetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Kestrup\\InstallerLog", name);
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

private:
    Arch arch_;
    std::optional<Machine> machine_;

protected:
    Machine& m;  // the machine of the test, or of the table row running now
};

}  // namespace kestrup_test
