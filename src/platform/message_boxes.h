// Every box of the program: no owner window, always top-most.
#pragma once

#include <string>

namespace kestrup {

// Yes/No with the question icon; answers IDYES, IDNO, or 0 when no box could be shown.
int AskQuestion(const std::string& text, const std::string& title);
// OK with the error icon, for a failure that ends the run.
void ShowFatalError(const std::string& text, const std::string& title);
// OK with the warning icon; the run goes on.
void ShowWarning(const std::string& text, const std::string& title);

}  // namespace kestrup
