#include "driver/event_log.h"

#include "platform/registry.h"
#include "platform/run_log.h"
#include "platform/text.h"

#include <windows.h>

#include <bitset>
#include <vector>

namespace kestrup {

int NextInstallerLogSlot() {
    // A number is taken when its decimal text occurs anywhere in a value name.
    // The names are read once; every digit run's substrings of up to three
    // digits (without a leading zero) mark their numbers, so the choice is the
    // same as testing each number against the key in turn.
    std::vector<std::string> names;
    RegListValueNames(HKEY_LOCAL_MACHINE, kInstallerLogKey, names);
    std::bitset<kInstallerLogSlots> taken;
    for (const std::string& name : names) {
        for (size_t start = 0; start < name.size(); ++start) {
            if (name[start] < '0' || name[start] > '9') continue;
            int value = 0;
            for (size_t len = 1; len <= 3 && start + len <= name.size(); ++len) {
                char c = name[start + len - 1];
                if (c < '0' || c > '9') break;
                value = value * 10 + (c - '0');
                taken.set(static_cast<size_t>(value));
                if (name[start] == '0') break;  // "05" is not the text of any number
            }
        }
    }
    for (int n = 0; n < kInstallerLogSlots; ++n)
        if (!taken.test(static_cast<size_t>(n))) return n;
    return kInstallerLogSlots - 1;
}

bool LogInstallerEvent(const std::string& message) {
    WriteRunLog("installer event log: " + message);
    return RegWriteString(HKEY_LOCAL_MACHINE, kInstallerLogKey, IntToText(NextInstallerLogSlot()), message);
}

}  // namespace kestrup
