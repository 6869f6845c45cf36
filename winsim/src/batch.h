// The command interpreter's part in starting a batch file: enough of cmd.exe to
// run the simple batch files the product writes.
#pragma once

#include "internals.h"

#include <string>

namespace winsim {

bool IsBatchFile(const std::string& path);
// Why Windows cannot start the batch file, or 0. It opens the file for reading,
// sharing it for reading and deleting only: a handle open for writing stops it.
DWORD BatchStartError(Machine& m, const std::string& path);
// Runs each command line of the batch file; answers the last command's exit code.
DWORD RunBatchFile(Machine& m, const std::string& path);

}  // namespace winsim
