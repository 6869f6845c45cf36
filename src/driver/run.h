// The whole run: switches, confirmation, every step in its order, and the
// questions and reports between them. Only the run decides whether it goes on,
// stops, or ends with a restart or log-off request.
#pragma once

#include "driver/run_flags.h"

#include <windows.h>

#include <string>
#include <vector>

namespace kestrup {

constexpr int kExitCompleted = 1;  // completed, or ended by a restart or log-off request
constexpr int kExitStopped = 0;    // declined, failed or cancelled

constexpr char kNetIdMgrKey[] = "Software\\MIT\\NetIDMgr\\CredWindow";
constexpr char kKerberosKey[] = "Software\\MIT\\Kerberos";

// The program's entry: the command line is the argument text after the program name.
int RunInstallation(HINSTANCE instance, const std::string& commandLine);

// The settings applied just before the package: browsers and LSA, TCP/IP
// domain, then the hotfix unless NoHotFix. Answers what became of each user,
// profile and setting, a line each.
std::vector<std::string> RunIntegrationSteps(const RunFlags& flags);
// Starts "InstallDir" + "bin\netidmgr.exe" minimized, without waiting.
void StartCredentialManager();
// The "Remove Old Software?" question for the packages found.
std::string ComposeRemovalQuestion(const std::string& tesselKeyName, const std::string& afsKeyName);

}  // namespace kestrup
