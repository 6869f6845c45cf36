// The Windows entry point of kestrup.exe.
#include "driver/run.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    return kestrup::RunInstallation(instance, commandLine ? commandLine : "");
}
