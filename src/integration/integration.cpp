#include "integration/integration.h"

#include "integration/firefox.h"
#include "integration/firefox_policy.h"
#include "integration/windows_settings.h"
#include "platform/message_boxes.h"
#include "platform/processes.h"
#include "platform/text.h"

namespace kestrup {

namespace {

// Configures a browser when it is closed, or after the user was asked to close
// it; a browser running during a really silent run is left alone.
template <typename Configure>
void ConfigureBrowser(const char* exeName, const char* warning, bool reallySilent, std::vector<std::string>& notes,
                      Configure configure) {
    if (IsProcessRunning(exeName)) {
        if (reallySilent) {
            notes.push_back(std::string(exeName) + " is running: its settings are left alone");
            return;
        }
        ShowWarning(warning, "Kerberos for Windows Installer");  // asks once; does not wait for the browser to go
        notes.push_back(std::string(exeName) + " is running: configured after the warning to close it");
    }
    configure();
}

std::string Outcome(const std::string& what, LONG error) {
    return what + (error == ERROR_SUCCESS ? " written" : " not written (error " + IntToText(error) + ")");
}

void Append(std::vector<UserHiveReport>& reports, const std::vector<UserHiveReport>& more) {
    reports.insert(reports.end(), more.begin(), more.end());
}

}  // namespace

IntegrationReport ConfigureBrowsersAndLsa(bool reallySilent, bool laterUsers) {
    IntegrationReport report;
    ConfigureBrowser("firefox.exe", "To complete the installation of Kerberos for Windows, please shut down Firefox.",
                     reallySilent, report.notes,
                     [&report] { report.profiles = ConfigureFirefoxProfiles(report.hives); });
    // Firefox reads its policy only when it starts: a running one is no reason
    // to leave it out. Like the KDC list's, a failure is only logged.
    if (laterUsers) report.notes.push_back(Outcome("Firefox policy for later profiles", WriteFirefoxPolicy()));
    ConfigureBrowser("iexplore.exe",
                     "To complete the installation of Kerberos for Windows, please shut down Internet Explorer.",
                     reallySilent, report.notes, [&] { Append(report.hives, ConfigureInternetExplorer(laterUsers)); });
    Append(report.hives, SetMsLsaListForAllUsers(laterUsers));
    report.notes.push_back(WriteKdcNames() ? "LSA KdcNames written" : "LSA KdcNames not written");
    return report;
}

}  // namespace kestrup
