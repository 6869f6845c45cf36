// The Windows entry point of kestrup.exe.
#include "driver/run.h"
#include "platform/hardening.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    // Before anything else can load a library or start a program.
    kestrup::HardenProcess();
    return kestrup::RunInstallation(instance, commandLine ? commandLine : "");
}
