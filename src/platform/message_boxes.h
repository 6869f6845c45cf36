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

// Whether a person can see a box or dialog this process makes. Not as SYSTEM in
// session 0 (NT 6 and later: nobody logs on there) nor in a window station
// without WSF_VISIBLE (a service's): a box there never returns. The run asks
// once, at its start.
bool BoxesCanBeSeen();

}  // namespace kestrup
