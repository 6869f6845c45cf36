#include "platform/message_boxes.h"

#include <windows.h>

namespace kestrup {

int AskQuestion(const std::string& text, const std::string& title) {
    return MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_YESNO | MB_ICONQUESTION | MB_TOPMOST);
}

void ShowFatalError(const std::string& text, const std::string& title) {
    MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR | MB_TOPMOST);
}

void ShowWarning(const std::string& text, const std::string& title) {
    MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONWARNING | MB_TOPMOST);
}

}  // namespace kestrup
