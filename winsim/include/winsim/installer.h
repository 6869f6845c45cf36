// Windows Installer: package files with what installing them answers and does,
// and every call the product made with the user-interface level in force.
#pragma once

#include <winsim/basics.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace winsim {

// A Windows Installer package file: what installing it answers and does.
struct Package {
    UINT result = ERROR_SUCCESS;
    std::function<void()> install;  // side effects, applied when result is 0 or 3010
};

struct InstallerCall {
    std::string function;  // "MsiInstallProductA", "MsiConfigureProductExA"
    std::string target;    // package path or product code
    std::string properties;
    int uiLevel = 0;  // the internal user-interface level in force
    int installLevel = 0;
    int installState = 0;
    std::string logFile;  // the log MsiEnableLogA set, in force at the call
    DWORD logMode = 0;
};

class Installer {
public:
    // A package file at path, and what installing it does.
    void AddPackage(const std::string& path, Package package, const std::string& fileData = "MSI");
    // Packages by file path and by product code.
    std::map<std::string, Package, NoCaseLess>& Packages() { return packages_; }
    std::vector<InstallerCall> installerCalls;
    int installerUiLevel = 1;      // INSTALLUILEVEL_DEFAULT until the product sets one
    std::string installerLogFile;  // MsiEnableLogA's file, empty for none
    DWORD installerLogMode = 0;

private:
    std::map<std::string, Package, NoCaseLess> packages_;
};

}  // namespace winsim
