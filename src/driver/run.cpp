#include "driver/run.h"

#include "driver/engine_update.h"
#include "driver/event_log.h"
#include "platform/message_boxes.h"
#include "driver/os_class.h"
#include "driver/package.h"
#include "driver/prerequisites.h"
#include "driver/restart.h"
#include "identity/identity_defaults.h"
#include "integration/integration.h"
#include "integration/windows_settings.h"
#include "platform/handles.h"
#include "platform/hardening.h"
#include "platform/launch.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "removal/earlier_software.h"
#include "site_constants.h"

#include <vector>

namespace kestrup {

namespace {

constexpr char kFatal[] = "FATAL ERROR: ";
constexpr char kProduct[] = "Kerberos for Windows";
constexpr DWORD kNotificationAction = 50008;

// The credential manager's defaults after a successful installation.
void WriteCredentialManagerDefaults(int osClass) {
    RegWriteDword(HKEY_CURRENT_USER, "Software\\MIT\\NetIDMgr\\PluginManager\\Plugins\\Krb5Cred\\Parameters",
                  "DefaultLifetime", 90000);
    RegWriteDword(HKEY_CURRENT_USER, kNetIdMgrKey, "AutoInit", 1);
    // On Vista it is written after the log-off question instead.
    if (osClass != kOsVista) RegWriteDword(HKEY_CURRENT_USER, kNetIdMgrKey, "NotificationAction", kNotificationAction);
    RegWriteDword(HKEY_CURRENT_USER, kNetIdMgrKey, "DefaultWindowMode", 1);
}

// A failure that ends the run: a box, or with the Silent flag (or nobody to see
// a box) a log entry, never both.
void ReportFatal(const RunFlags& flags, const std::string& logText, const std::string& boxText,
                 const std::string& title) {
    if (flags.silent || flags.unseen)
        LogInstallerEvent(logText);
    else
        ShowFatalError(boxText, title);
}

int ReportRemovalFailed(const RunFlags& flags) {
    ReportFatal(flags, std::string(kFatal) + "Unable to remove old Tessel software",
                "This program was unable to remove the previous Kerberos software.\n\n"
                "The installation of Kerberos for Windows cannot continue.",
                "Unable to Remove Software");
    return kExitStopped;
}

}  // namespace

RunFlags ParseSwitches(const std::string& commandLine) {
    RunFlags flags;
    flags.reallySilent = FindNoCase(commandLine, "/ReallySilent") != 0;
    flags.silent = flags.reallySilent || FindNoCase(commandLine, "/Silent") != 0;
    flags.noHotFix = FindNoCase(commandLine, "/NoHotFix") != 0;
    return flags;
}

int Ask(const RunFlags& flags, const std::string& text, const std::string& title) {
    return flags.unseen ? 0 : AskQuestion(text, title);
}

std::string ComposeRemovalQuestion(const std::string& tesselKeyName, const std::string& afsKeyName) {
    std::string text;
    if (!tesselKeyName.empty()) {
        text = std::string("PC-Tessel will be removed and replaced by ") + kProduct + ".\nFor more information about " +
               kProduct + " please see:\n\n" + site::kInfoPage + "\n\n";
        if (!afsKeyName.empty()) text += "PC-Marlo will also be removed.\n\n";
    } else {
        text = "This program must remove PC-Marlo.\n\n";
    }
    return text + "Do you want to continue?";
}

void RunIntegrationSteps(const RunFlags& flags) {
    // Nobody can be warned to close a running browser: it is left alone, as in a really silent run.
    // A user who did not get a value, and a hive left loaded (it blocks that
    // user's next logon), are told to whoever reads the log.
    for (const UserHiveReport& report : ConfigureBrowsersAndLsa(flags.reallySilent || flags.unseen, site::kLaterUsers))
        if (IsUserHiveFailure(report.outcome)) LogInstallerEvent("ERROR: " + DescribeUserHive(report));
    SetTcpipDomain();
    if (!flags.noHotFix) InstallHotfix(flags);
}

void StartCredentialManager() {
    std::string path;
    if (!RegReadString(HKEY_LOCAL_MACHINE, kKerberosKey, "InstallDir", path)) return;
    AddTrailingBackslash(path);
    path += "bin\\netidmgr.exe";
    // A path that does not fit MAX_PATH is not started rather than started cut.
    if (path.size() >= MAX_PATH) return;
    // Only as the person at the desk: as SYSTEM, or elevated with another
    // administrator's credentials, it would give that account's process to the
    // user. The others get it at their next logon, from its Run entry.
    if (!RunningAsDesktopUser()) return;
    // The program is named as well as given as the command line, so that a path
    // with blanks runs exactly this program and never a blank-cut prefix of it
    // (C:\Program.exe for C:\Program Files\...). The command line the credential
    // manager sees is unchanged. It is not waited for.
    StartProgramA(path, path, SW_SHOWMINIMIZED, 0, false);
}

int RunInstallation(HINSTANCE instance, const std::string& commandLine) {
    RunFlags decided = ParseSwitches(commandLine);
    decided.unseen = !BoxesCanBeSeen();
    const RunFlags& flags = decided;
    bool removalDone = false;

    if (!flags.silent && Ask(flags, "This program will install Kerberos for Windows.\n\nDo you want to continue?",
                             "Install Kerberos for Windows?") == IDNO)
        return kExitStopped;

    std::string osDescription;
    const int osClass = GetOsClass(osDescription);

    if (!flags.reallySilent && !CheckCalendarSoftware(instance, flags)) return kExitStopped;

    std::string tesselKeyName, afsKeyName;
    if (FindEarlierSoftware(tesselKeyName, afsKeyName)) {
        std::string question = ComposeRemovalQuestion(tesselKeyName, afsKeyName);
        if (!flags.reallySilent && Ask(flags, question, "Remove Old Software?") == IDNO)
            return ReportRemovalFailed(flags);
        ConfigureDefaultIdentity();
        // Nobody could work an uninstaller's window either: the quiet way, as when really silent.
        bool restartNeeded =
            RemoveEarlierSoftware(tesselKeyName, afsKeyName, removalDone, flags.reallySilent || flags.unseen);
        if (!removalDone) return ReportRemovalFailed(flags);
        if (restartNeeded) {
            if (flags.reallySilent) {
                RestartComputer();
                return kExitCompleted;
            }
            if (Ask(flags,
                    "The previous Kerberos software has been removed. This program must restart your "
                    "computer to complete the removal process.\n\n"
                    "After your system has restarted, run this program again to complete the installation "
                    "of Kerberos for Windows.\n\n"
                    "Do you want to restart your computer now?",
                    "Restart Computer?") == IDYES) {
                RestartComputer();
                return kExitCompleted;
            }
        }
    }
    if (!removalDone) ConfigureDefaultIdentity();

    switch (UpdateWindowsInstaller(flags, osClass, osDescription)) {
    case EngineUpdate::kContinue:
        break;
    case EngineUpdate::kRestartRequested:
        return kExitCompleted;
    case EngineUpdate::kRestartDeclined:
        return kExitStopped;
    }

    RunIntegrationSteps(flags);

    std::string installerMessage;
    if (!InstallKerberosPackage(flags, installerMessage)) {
        if (FindNoCase(installerMessage, "User canceled installation.") != 0) return kExitStopped;
        std::string text = std::string(kFatal) +
                           "The Kerberos for Windows installer failed with the following error:\n\n" + installerMessage;
        ReportFatal(flags, text, text, "Kerberos for Windows Installer Error");
        return kExitStopped;
    }

    WriteCredentialManagerDefaults(osClass);
    // Windows is going down already: nothing to start, nothing left to ask.
    if (installerMessage == kRestartInitiated) return kExitCompleted;
    StartCredentialManager();

    // These two are asked whatever the silent flags say.
    if (FindNoCase(installerMessage, kRebootRequired) != 0 &&
        Ask(flags,
            "In order to complete the installation of Kerberos for Windows, you should restart your "
            "computer.\n\n"
            "Do you want to restart your computer now? Click No if you would prefer to restart manually at "
            "a later time.",
            "Restart Computer?") == IDYES) {
        RestartComputer();
        return kExitCompleted;
    }

    if (osClass == kOsVista) {
        int answer =
            Ask(flags,
                "In order to use Kerberos for Windows, you must log off and back on to your Windows user account.\n\n"
                "Do you want to log off now? Click No if you would prefer to log off at a later time; "
                "but note that till you do log off, Kerberos for Windows may not function properly.",
                "Log off?");
        if (answer == IDYES || answer == IDNO)
            RegWriteDword(HKEY_CURRENT_USER, kNetIdMgrKey, "NotificationAction", kNotificationAction);
        if (answer == IDYES) LogOffUser();
    }
    return kExitCompleted;
}

}  // namespace kestrup
