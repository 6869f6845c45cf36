#include "platform/launch.h"

#include "platform/handles.h"
#include "platform/text.h"

#include <windows.h>

#include <vector>

namespace kestrup {

namespace {

constexpr int kCommandUnits = 4096;
constexpr DWORD kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE

}  // namespace

std::string LastErrorText() {
    DWORD code = GetLastError();
    char* buffer = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (length == 0 || !buffer) {
        if (buffer) LocalFree(buffer);
        return IntToText(static_cast<int>(code));
    }
    std::string text(buffer, length);
    LocalFree(buffer);
    // The text ends before its first control character or first byte outside
    // ASCII: the line end every system message carries goes with it.
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 32 || c >= 127) {
            text.resize(i);
            break;
        }
    }
    return text;
}

bool StartProgramA(const std::string& application, const std::string& commandLine, unsigned short showWindow,
                   unsigned long creationFlags, bool wait) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = showWindow;
    PROCESS_INFORMATION info = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(application.empty() ? nullptr : application.c_str(), line.data(), nullptr, nullptr, FALSE,
                        static_cast<DWORD>(creationFlags), nullptr, nullptr, &startup, &info))
        return false;
    ProcessHandles handles;
    handles.adopt(info);
    if (wait) WaitForSingleObject(handles.process.get(), INFINITE);
    return true;
}

bool RunCommand(const std::string& commandLine, bool wait, std::string& errorText) {
    errorText.clear();
    std::vector<WCHAR> wide(kCommandUnits);
    // A command line that does not fit is refused whole, never started cut.
    if (commandLine.size() >= kCommandUnits ||
        MultiByteToWideChar(CP_ACP, 0, commandLine.c_str(), -1, wide.data(), kCommandUnits) == 0) {
        SetLastError(kErrorFilenameTooLong);
        errorText = "Unable to run the program: " + commandLine + " Error Message: " + LastErrorText();
        return false;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        std::string systemText = LastErrorText();  // before any other call changes the last error
        errorText = "Unable to run the program: " + commandLine + " Error Message: " + systemText;
        return false;
    }
    ProcessHandles handles;
    handles.adopt(info);
    if (wait) WaitForSingleObject(handles.process.get(), INFINITE);
    return true;
}

}  // namespace kestrup
