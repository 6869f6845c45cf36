// The simulated Windows machine that host tests build and inspect.
//
// A test makes one Machine; while it lives, every Win32 call of the product acts
// on it. The machine is made of parts that can be read on their own: the
// registry, the file system, processes, the user interface, accounts and the
// token, libraries, Windows Installer, drives, and the rest of the system (the
// version record, the environment). Everything the product asks of it is
// recorded, in order, for the test to assert on. How the Win32 calls work on
// these parts (handles, key resolution, pipes) is internal to winsim/src.
#pragma once

#include <windows.h>
#include <msi.h>

#include <winsim/accounts.h>
#include <winsim/basics.h>
#include <winsim/drives.h>
#include <winsim/files.h>
#include <winsim/installer.h>
#include <winsim/libraries.h>
#include <winsim/processes.h>
#include <winsim/registry.h>
#include <winsim/system.h>
#include <winsim/user_interface.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace winsim {

struct Internals;

class Machine : public Registry,
                public FileSystem,
                public Processes,
                public UserInterface,
                public Accounts,
                public Libraries,
                public Installer,
                public Drives,
                public System {
public:
    explicit Machine(Arch arch = Arch::x64);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine the Win32 calls act on; throws when no test made one.
    static Machine& Current();

    Arch arch() const { return arch_; }

    // ---- bookkeeping -------------------------------------------------------
    // How often each Win32 function was called.
    std::map<std::string, int> calls;
    int CallCount(const std::string& function) const;
    int RegistryCallCount() const;  // every Reg* call
    // Handles the product opened and has not closed (keys, files, searches,
    // processes, tokens, pipes, libraries). Module handles (GetModuleHandleA)
    // are not the product's and do not count.
    int OpenHandles() const;
    std::vector<std::string> OpenHandleKinds() const;

private:
    friend Internals& Inside(Machine& m);
    friend const Internals& Inside(const Machine& m);
    Arch arch_;
    std::unique_ptr<Internals> internals_;
};

}  // namespace winsim
