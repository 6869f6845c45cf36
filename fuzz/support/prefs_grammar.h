// Firefox's grammar of preference files, written apart from the installer's
// own reader so that a fuzz target can judge the installer's output by it:
//   statement = ("user_pref" | "pref" | "sticky_pref") "(" string "," value
//               ["," attribute]* ")" ";"          (attributes only after "pref")
//   value     = string | "true" | "false" | ["+" | "-"] digits  (a 32-bit integer)
//   string    = '"' ... '"' | "'" ... "'"  with the escapes \\ \" \' \n \r \xHH \uHHHH
// Keywords are case-sensitive. Blanks (space, tab, CR, LF, VT, FF) and comments
// ("//" and "#" to the end of the line, "/* */" also across lines) may stand
// between the tokens. A statement must end on the line it begins on here:
// the installer reads line by line, and so does this check.
#pragma once

#include <string>
#include <vector>

namespace prefs_grammar {

struct Pref {
    std::string keyword;
    std::string name;  // decoded
    bool isString = false;
    std::string value;  // decoded, for a string value
};

// Reads one line (without its line end) as statements. inComment carries an
// open "/* */" comment into and out of the line. True when the whole line is
// accepted; prefs receives every statement read before the first fault.
bool ReadLine(const std::string& line, bool& inComment, std::vector<Pref>& prefs);

// A list's members: split at commas, blanks around each trimmed, empty ones dropped.
std::vector<std::string> Members(const std::string& list);

}  // namespace prefs_grammar
