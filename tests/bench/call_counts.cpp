// What the installer's costly steps ask of Windows, counted on the simulated
// Windows: per local user (hive loads, registry, file calls), for one large
// prefs.js, and for one event-log write. Each Win32 call is a round trip into
// the system on a real machine (into Wine's server under Wine), so these
// counts explain the benchmark's times. Prints Markdown tables; asserts nothing.
//   kestrup_call_counts [USERS]
#include "driver/event_log.h"
#include "integration/firefox.h"
#include "integration/windows_settings.h"

#include <winsim/machine.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr char kProfileList[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// Firefox-like preference lines up to about the given size, with one trusted list.
std::string PrefsText(size_t bytes) {
    std::string text = "// Mozilla User Preferences\n\n";
    char line[160];
    for (int i = 0; text.size() < bytes; ++i) {
        if (i == 40) text += "user_pref(\"network.negotiate-auth.trusted-uris\", \"example.org\");\n";
        std::snprintf(line, sizeof line, "user_pref(\"bench.generated.preference.%06d\", \"value-%06d-abcdefghij\");\n",
                      i, i);
        text += line;
    }
    return text;
}

void AddUser(winsim::Machine& m, int i, int profiles, size_t prefsBytes) {
    char sid[64], dir[MAX_PATH];
    std::snprintf(sid, sizeof sid, "S-1-5-21-7-7-7-%04d", 1001 + i);
    std::snprintf(dir, sizeof dir, "C:\\Documents and Settings\\u%03d", i);
    const std::string base = dir;
    m.SetString(HKEY_LOCAL_MACHINE, std::string(kProfileList) + "\\" + sid, "ProfileImagePath", base, winsim::View::k32,
                REG_EXPAND_SZ);
    m.AddDirectory(base);
    m.AddHiveFile(base + "\\NTUSER.DAT");
    const std::string firefox = base + "\\Application Data\\Mozilla\\Firefox";
    std::string ini;
    for (int p = 0; p < profiles; ++p) {
        const std::string name = "Profiles/p" + std::to_string(p) + ".default";
        ini +=
            "[Profile" + std::to_string(p) + "]\nName=p" + std::to_string(p) + "\nIsRelative=1\nPath=" + name + "\n\n";
        m.AddFile(firefox + "\\Profiles\\p" + std::to_string(p) + ".default\\prefs.js", PrefsText(prefsBytes));
    }
    m.AddFile(firefox + "\\profiles.ini", ini);
}

using Counts = std::vector<std::pair<std::string, int>>;

Counts Sorted(const winsim::Machine& m) {
    Counts counts(m.calls.begin(), m.calls.end());
    std::sort(counts.begin(), counts.end(), [](auto& a, auto& b) { return a.second > b.second; });
    return counts;
}

int Total(const winsim::Machine& m) {
    int n = 0;
    for (auto& entry : m.calls) n += entry.second;
    return n;
}

int HiveLoads(const winsim::Machine& m) {
    return static_cast<int>(std::count_if(m.hiveEvents.begin(), m.hiveEvents.end(),
                                          [](const winsim::HiveEvent& e) { return e.operation == "load"; }));
}

void PerUser(int users) {
    winsim::Machine m;
    m.SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600, 2);
    m.SetString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos\\Client\\CurrentVersion", "PathName", "C:\\kfw");
    for (int i = 0; i < users; ++i) AddUser(m, i, 2, 100000);
    m.calls.clear();
    std::vector<kestrup::UserHiveReport> hiveFailures;
    kestrup::ConfigureFirefoxProfiles(hiveFailures);
    kestrup::ConfigureInternetExplorer();
    kestrup::SetMsLsaListForAllUsers();
    std::printf(
        "Per local user (%d users, each with its own hive and two profiles of 100 KB; Firefox, "
        "Internet Explorer and MsLsaList):\n\n",
        users);
    std::printf("| calls per user | count |\n|---|---:|\n");
    std::printf("| hive loads | %.1f |\n", HiveLoads(m) / double(users));
    std::printf("| all Win32 calls | %.1f |\n", Total(m) / double(users));
    std::printf("| registry calls | %.1f |\n", m.RegistryCallCount() / double(users));
    int shown = 0;
    for (auto& [name, count] : Sorted(m)) {
        if (shown++ == 12) break;
        std::printf("| %s | %.1f |\n", name.c_str(), count / double(users));
    }
    std::printf("\n");
}

void LargePrefs(size_t bytes) {
    winsim::Machine m;
    m.SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600, 2);
    const std::string prefs = "C:\\Profiles\\big.default\\prefs.js";
    m.AddFile(prefs, PrefsText(bytes));
    m.calls.clear();
    kestrup::RewritePrefsFile(prefs);
    std::printf("One prefs.js of %zu bytes rewritten:\n\n| call | count |\n|---|---:|\n", bytes);
    for (const char* name : {"ReadFile", "WriteFile", "FlushFileBuffers", "CreateFileA", "CharUpperBuffA"})
        std::printf("| %s | %d |\n", name, m.CallCount(name));
    std::printf("| all Win32 calls | %d |\n\n", Total(m));
}

void EventLog() {
    std::printf(
        "One installer event-log write:\n\n| log before | registry calls | all Win32 calls |\n|---|---:|---:|\n");
    for (int values : {0, 1000}) {
        winsim::Machine m;
        for (int i = 0; i < values; ++i)
            m.SetString(HKEY_LOCAL_MACHINE, kestrup::kInstallerLogKey, std::to_string(i), "earlier message");
        m.calls.clear();
        kestrup::LogInstallerEvent("FATAL ERROR: benchmark");
        std::printf("| %s | %d | %d |\n", values ? "full (1000 values)" : "empty", m.RegistryCallCount(), Total(m));
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int users = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    PerUser(users);
    LargePrefs(10u << 20);
    EventLog();
    return 0;
}
