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
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/run_log.h"
#include "platform/text.h"
#include "removal/earlier_software.h"
#include "site_constants.h"

#include <optional>
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

std::vector<std::string> RunIntegrationSteps(const RunFlags& flags) {
    // Nobody can be warned to close a running browser: it is left alone, as in a really silent run.
    const IntegrationReport report = ConfigureBrowsersAndLsa(flags.reallySilent || flags.unseen, site::kLaterUsers);
    std::vector<std::string> said;
    // A user who did not get a value, and a hive left loaded (it blocks that
    // user's next logon), are told to whoever reads the installer event log too.
    for (const UserHiveReport& user : report.hives) {
        said.push_back(DescribeUserHive(user));
        if (IsUserHiveFailure(user.outcome)) LogInstallerEvent("ERROR: " + said.back());
    }
    for (const ProfileReport& profile : report.profiles) said.push_back(DescribeProfile(profile));
    said.insert(said.end(), report.notes.begin(), report.notes.end());
    said.push_back(SetTcpipDomain() ? "TCP/IP domain written" : "TCP/IP domain not written");
    if (flags.noHotFix)
        said.push_back("KB892090 hotfix skipped: /NoHotFix");
    else
        InstallHotfix(flags);
    return said;
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

namespace {

// What the run knows: decided at its start, or learnt by a step.
struct RunState {
    HINSTANCE instance = nullptr;
    RunFlags flags;
    int osClass = kOsUnknown;
    std::string osDescription;
    bool removalDone = false;
    std::string installerMessage;
};

// What one step came to, in words for the run's log, and the exit value when
// the run ends with it.
struct StepOutcome {
    std::string said;
    std::optional<int> exitValue;
    std::vector<std::string> details;  // one line each: users, profiles, settings
};

StepOutcome GoOn(std::string said) { return {std::move(said), std::nullopt, {}}; }
StepOutcome End(int exitValue, std::string said) { return {std::move(said), exitValue, {}}; }

StepOutcome Confirm(RunState& run) {
    if (run.flags.silent) return GoOn("not asked (silent)");
    if (Ask(run.flags, "This program will install Kerberos for Windows.\n\nDo you want to continue?",
            "Install Kerberos for Windows?") == IDNO)
        return End(kExitStopped, "declined");
    return GoOn("going on");
}

StepOutcome ClassifyWindows(RunState& run) {
    run.osClass = GetOsClass(run.osDescription);
    return GoOn("OsClass " + IntToText(run.osClass) + ", " + run.osDescription);
}

StepOutcome CheckCalendar(RunState& run) {
    if (run.flags.reallySilent) return GoOn("not checked (/ReallySilent)");
    if (!CheckCalendarSoftware(run.instance, run.flags)) return End(kExitStopped, "old calendar client: stopped");
    return GoOn("nothing in the way");
}

StepOutcome RemoveEarlier(RunState& run) {
    const RunFlags& flags = run.flags;
    std::string tesselKeyName, afsKeyName;
    if (!FindEarlierSoftware(tesselKeyName, afsKeyName)) return GoOn("none found");
    const std::string found = "found " + (tesselKeyName.empty() ? "" : "PC-Tessel " + tesselKeyName + " ") +
                              (afsKeyName.empty() ? "" : "PC-Marlo " + afsKeyName + " ");
    std::string question = ComposeRemovalQuestion(tesselKeyName, afsKeyName);
    if (!flags.reallySilent && Ask(flags, question, "Remove Old Software?") == IDNO)
        return End(ReportRemovalFailed(flags), found + "and the removal was declined");
    ConfigureDefaultIdentity();
    // Nobody could work an uninstaller's window either: the quiet way, as when really silent.
    bool restartNeeded =
        RemoveEarlierSoftware(tesselKeyName, afsKeyName, run.removalDone, flags.reallySilent || flags.unseen);
    if (!run.removalDone) return End(ReportRemovalFailed(flags), found + "and still installed after the removal");
    if (!restartNeeded) return GoOn(found + "and removed");
    if (flags.reallySilent) {
        RestartComputer();
        return End(kExitCompleted, found + "and removed; restart requested");
    }
    if (Ask(flags,
            "The previous Kerberos software has been removed. This program must restart your "
            "computer to complete the removal process.\n\n"
            "After your system has restarted, run this program again to complete the installation "
            "of Kerberos for Windows.\n\n"
            "Do you want to restart your computer now?",
            "Restart Computer?") == IDYES) {
        RestartComputer();
        return End(kExitCompleted, found + "and removed; restart requested");
    }
    return GoOn(found + "and removed; the restart it needs was declined");
}

StepOutcome DefaultIdentity(RunState& run) {
    // After a removal it ran already, before the uninstallers.
    if (run.removalDone) return GoOn("done before the removal");
    ConfigureDefaultIdentity();
    return GoOn("done");
}

StepOutcome UpdateEngine(RunState& run) {
    switch (UpdateWindowsInstaller(run.flags, run.osClass, run.osDescription)) {
    case EngineUpdate::kRestartRequested:
        return End(kExitCompleted, "updated; restart requested");
    case EngineUpdate::kRestartDeclined:
        return End(kExitStopped, "updated; the restart it needs was declined");
    case EngineUpdate::kContinue:
        break;
    }
    return GoOn("no restart needed");
}

StepOutcome Integrate(RunState& run) {
    StepOutcome outcome = GoOn("done");
    outcome.details = RunIntegrationSteps(run.flags);
    return outcome;
}

StepOutcome InstallPackage(RunState& run) {
    if (InstallKerberosPackage(run.flags, run.installerMessage))
        return GoOn(run.installerMessage.empty() ? "installed" : "installed: " + run.installerMessage);
    if (FindNoCase(run.installerMessage, "User canceled installation.") != 0)
        return End(kExitStopped, "cancelled by the user");
    std::string text = std::string(kFatal) + "The Kerberos for Windows installer failed with the following error:\n\n" +
                       run.installerMessage;
    ReportFatal(run.flags, text, text, "Kerberos for Windows Installer Error");
    return End(kExitStopped, "failed: " + run.installerMessage);
}

StepOutcome CredentialManagerDefaults(RunState& run) {
    WriteCredentialManagerDefaults(run.osClass);
    // Windows is going down already: nothing to start, nothing left to ask.
    if (run.installerMessage == kRestartInitiated) return End(kExitCompleted, "written; Windows is restarting");
    return GoOn("written");
}

StepOutcome StartCredentialManagerStep(RunState&) {
    StartCredentialManager();
    return GoOn("done");
}

StepOutcome AskRestart(RunState& run) {
    // This question and the next are asked whatever the silent flags say.
    if (FindNoCase(run.installerMessage, kRebootRequired) == 0) return GoOn("no restart needed");
    if (Ask(run.flags,
            "In order to complete the installation of Kerberos for Windows, you should restart your "
            "computer.\n\n"
            "Do you want to restart your computer now? Click No if you would prefer to restart manually at "
            "a later time.",
            "Restart Computer?") == IDYES) {
        RestartComputer();
        return End(kExitCompleted, "restart requested");
    }
    return GoOn("restart left for later");
}

StepOutcome AskLogOff(RunState& run) {
    if (run.osClass != kOsVista) return GoOn("not needed before Windows Vista");
    int answer = Ask(run.flags,
                     "In order to use Kerberos for Windows, you must log off and back on to your Windows user "
                     "account.\n\n"
                     "Do you want to log off now? Click No if you would prefer to log off at a later time; "
                     "but note that till you do log off, Kerberos for Windows may not function properly.",
                     "Log off?");
    if (answer == IDYES || answer == IDNO)
        RegWriteDword(HKEY_CURRENT_USER, kNetIdMgrKey, "NotificationAction", kNotificationAction);
    if (answer != IDYES) return GoOn(answer == IDNO ? "log-off left for later" : "the question could not be shown");
    LogOffUser();
    return GoOn("log-off requested");
}

struct PlannedStep {
    const char* name;
    StepOutcome (*run)(RunState&);
};

// The run, in its order.
const PlannedStep kPlan[] = {
    {"Confirmation", Confirm},
    {"GetOsClass", ClassifyWindows},
    {"CheckCalendarSoftware", CheckCalendar},
    {"RemoveEarlierSoftware", RemoveEarlier},
    {"ConfigureDefaultIdentity", DefaultIdentity},
    {"UpdateWindowsInstaller", UpdateEngine},
    {"RunIntegrationSteps", Integrate},
    {"InstallKerberosPackage", InstallPackage},
    {"WriteCredentialManagerDefaults", CredentialManagerDefaults},
    {"StartCredentialManager", StartCredentialManagerStep},
    {"RestartQuestion", AskRestart},
    {"LogOffQuestion", AskLogOff},
};

std::string SwitchesText(const RunFlags& flags) {
    std::string text = flags.reallySilent ? " /ReallySilent" : flags.silent ? " /Silent" : "";
    if (flags.noHotFix) text += " /NoHotFix";
    if (flags.unseen) text += " (nobody can see a box)";
    return text.empty() ? " none" : text;
}

std::string WindowsVersionText() {
    const OSVERSIONINFOA version = QueryOsVersion();
    return IntToText(static_cast<int>(version.dwMajorVersion)) + "." +
           IntToText(static_cast<int>(version.dwMinorVersion)) + "." +
           IntToText(static_cast<int>(version.dwBuildNumber & 0xFFFF)) + " " + version.szCSDVersion +
           (IsNtFamily() ? "" : " (Windows 95 family)") + (IsWow64() ? " (64-bit Windows)" : "");
}

}  // namespace

int RunInstallation(HINSTANCE instance, const std::string& commandLine) {
    const RunLog log;
    RunState run;
    run.instance = instance;
    run.flags = ParseSwitches(commandLine);
    run.flags.unseen = !BoxesCanBeSeen();
    WriteRunLog("Kestrup, command line: " + commandLine);
    WriteRunLog("switches:" + SwitchesText(run.flags) + "; Windows " + WindowsVersionText());
    int exitValue = kExitCompleted;
    for (const PlannedStep& step : kPlan) {
        const StepOutcome outcome = step.run(run);
        WriteRunLog(std::string(step.name) + ": " + outcome.said);
        for (const std::string& line : outcome.details) WriteRunLog("    " + line);
        if (outcome.exitValue) {
            exitValue = *outcome.exitValue;
            break;
        }
    }
    WriteRunLog("exit value " + IntToText(exitValue));
    return exitValue;
}

}  // namespace kestrup
