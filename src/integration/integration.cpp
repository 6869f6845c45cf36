#include "integration/integration.h"

#include "integration/firefox.h"
#include "integration/firefox_policy.h"
#include "integration/windows_settings.h"
#include "platform/message_boxes.h"
#include "platform/processes.h"

namespace kestrup {

namespace {

// Configures a browser when it is closed, or after the user was asked to close
// it; a browser running during a really silent run is left alone.
template <typename Configure>
void ConfigureBrowser(const char* exeName, const char* warning, bool reallySilent, Configure configure) {
    if (IsProcessRunning(exeName)) {
        if (reallySilent) return;
        ShowWarning(warning, "Kerberos for Windows Installer");  // asks once; does not wait for the browser to go
    }
    configure();
}

void Append(std::vector<UserHiveReport>& reports, const std::vector<UserHiveReport>& more) {
    reports.insert(reports.end(), more.begin(), more.end());
}

}  // namespace

std::vector<UserHiveReport> ConfigureBrowsersAndLsa(bool reallySilent, bool laterUsers) {
    std::vector<UserHiveReport> reports;
    ConfigureBrowser("firefox.exe", "To complete the installation of Kerberos for Windows, please shut down Firefox.",
                     reallySilent, [&reports] { ConfigureFirefoxProfiles(reports); });
    // Firefox reads its policy only when it starts: a running one is no reason
    // to leave it out. Like the KDC list's, a failure is left out silently.
    if (laterUsers) WriteFirefoxPolicy();
    ConfigureBrowser("iexplore.exe",
                     "To complete the installation of Kerberos for Windows, please shut down Internet Explorer.",
                     reallySilent, [&] { Append(reports, ConfigureInternetExplorer(laterUsers)); });
    Append(reports, SetMsLsaListForAllUsers(laterUsers));
    WriteKdcNames();
    return reports;
}

}  // namespace kestrup
