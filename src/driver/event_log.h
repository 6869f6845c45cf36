// The installer event log: numbered REG_SZ values under HKLM
// "Software\Halvern\Kestrup\InstallerLog", where an administrator or a
// deployment tool reads what went wrong in a run nobody watched.
#pragma once

#include <string>

namespace kestrup {

constexpr char kInstallerLogKey[] = "Software\\Halvern\\Kestrup\\InstallerLog";
constexpr int kInstallerLogSlots = 1000;

// The slot the next message takes: the lowest number 0..999 whose decimal text
// occurs in no existing value name (so "13" takes "3" too); 999 when all are taken.
int NextInstallerLogSlot();
// Writes the message as the next numbered entry; false when the write failed.
bool LogInstallerEvent(const std::string& message);

}  // namespace kestrup
