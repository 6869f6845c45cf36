// What the product shows: message boxes with the answers a test scripts for
// them, and dialogs worked by scripted commands.
#pragma once

#include <winsim/basics.h>

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace winsim {

struct MessageBoxShown {
    std::string text;
    std::string title;
    UINT style = 0;
};

// How a scripted dialog is worked: the commands sent to its procedure in turn
// (control identifiers, as a click or a key press produces them).
struct DialogScript {
    std::vector<int> commands;
    bool cannotCreate = false;  // DialogBoxParamA fails, answering -1
};

struct DialogShown {
    std::string templateName;  // "#103" for a numbered template
    INT_PTR initResult = 0;    // what the procedure answered to WM_INITDIALOG
    INT_PTR result = 0;        // what DialogBoxParamA answered
    bool owned = false;
};

class UserInterface {
public:
    // Queue the answer to the next box; the box must carry this title.
    void Answer(const std::string& title, int answer) { answers_.push_back({title, answer}); }
    // Queue the way to work the next dialog.
    void ScriptDialog(DialogScript script) { dialogScripts_.push_back(std::move(script)); }
    // Answers and dialog scripts not yet used.
    size_t PendingAnswers() const { return answers_.size() + dialogScripts_.size(); }

    std::vector<MessageBoxShown> boxes;
    std::vector<DialogShown> dialogs;
    // Called as each box appears, before it is answered: lets a test look at the
    // machine's state at that moment.
    std::function<void(const MessageBoxShown&)> onBox;

    // ---- where the process shows what it shows --------------------------------
    // Its session (on NT 6 and later session 0 is the services' own, where
    // nobody logs on) and whether its window station is visible (WSF_VISIBLE; a
    // service's is not). A box or dialog made where nobody sees it never
    // returns: MessageBoxA, DialogBoxParamA and a Windows Installer wizard
    // throw there instead of hanging.
    DWORD sessionId = 1;
    bool windowStationVisible = true;

private:
    friend struct Internals;
    std::deque<std::pair<std::string, int>> answers_;
    std::deque<DialogScript> dialogScripts_;
};

}  // namespace winsim
