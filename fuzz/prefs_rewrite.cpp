// Fuzzes the rewrite of the text of a user's prefs.js (pure text, no Windows):
// the input is the file's bytes, and the result must have these properties
// (any breach aborts, so libFuzzer keeps the input):
//   - rewriting the result again gives the same bytes;
//   - every line is the input line unchanged, or is accepted by Firefox's
//     grammar (checked by fuzz/support/prefs_grammar, not by the installer's
//     reader) whenever the input line was; appended lines are accepted;
//   - every member of every trusted-URIs list survives on its line;
//   - a file Firefox reads without fault ends up with the site domain in the
//     trusted-URIs list that Firefox applies (the last one), and stays readable.
#include "integration/firefox_prefs_text.h"
#include "site_constants.h"
#include "support/failure.h"
#include "support/prefs_grammar.h"

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr char kTrustedUris[] = "network.negotiate-auth.trusted-uris";

[[noreturn]] void Fail(const char* what, const std::string& detail = std::string()) {
    fuzz_support::Fail("prefs_rewrite", what, detail);
}

// The rewritten file as it is stored: the text's line feeds written as CR LF,
// so that a line that ended in a lone carriage return keeps it on a second run.
// Neither a Windows domain nor the site's: the SSPI line is appended too.
std::string Rewrite(const std::string& text) {
    std::string file;
    for (char c : kestrup::RewritePrefsText(text, "KESTRUP-PC"))
        file += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return file;
}

// The file's lines as the installer and Firefox see them: split at line
// feeds, a carriage return right before a line feed dropped.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

struct LineRead {
    bool known = false;     // the comment state entering the line is known
    bool accepted = false;  // the whole line is statements, blanks and comments
    std::vector<prefs_grammar::Pref> prefs;
};

// Each line read in turn; after the first line that is not accepted the state
// entering the next ones is not known, and they are not judged.
std::vector<LineRead> ReadAll(const std::vector<std::string>& lines) {
    std::vector<LineRead> reads(lines.size());
    bool inComment = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        reads[i].known = true;
        reads[i].accepted = prefs_grammar::ReadLine(lines[i], inComment, reads[i].prefs);
        if (!reads[i].accepted) break;
    }
    return reads;
}

bool IsTrustedUris(const prefs_grammar::Pref& pref) {
    return pref.keyword == "user_pref" && pref.name == kTrustedUris && pref.isString;
}

std::vector<std::string> TrustedMembers(const LineRead& read) {
    std::vector<std::string> members;
    for (const auto& pref : read.prefs)
        if (IsTrustedUris(pref))
            for (const std::string& m : prefs_grammar::Members(pref.value)) members.push_back(m);
    return members;
}

bool Contains(const std::vector<std::string>& set, const std::string& item) {
    for (const std::string& s : set)
        if (s == item) return true;
    return false;
}

bool ContainsNoCase(std::string text, std::string part) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : part) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text.find(part) != std::string::npos;
}

// The grammar check must itself tell good lines from bad ones, or every
// property above that leans on it would pass vacuously.
void CheckTheChecker() {
    struct Case {
        const char* line;
        bool accepted;
    } cases[] = {
        {"user_pref(\"network.negotiate-auth.trusted-uris\", \"a.org, b.org\");", true},
        {"  user_pref ( 'x' , -42 ) ; pref(\"y\", true, locked); // note", true},
        {"/* a */ user_pref(\"z\", \"\\u00e9\\\"\"); # end", true},
        {"", true},
        {"USER_PREF(\"x\", 1);", false},
        {"user_pref(\"x\", 1.5);", false},
        {"user_pref(\"x\", 2147483648);", false},
        {"user_pref(\"x\", \"a\\q\");", false},
        {"user_pref(\"x\", \"open);", false},
        {"user_pref(\"x\", 1, locked);", false},
        {"user_pref(\"x\", 1)", false},
    };
    for (const Case& c : cases) {
        bool inComment = false;
        std::vector<prefs_grammar::Pref> prefs;
        if (prefs_grammar::ReadLine(c.line, inComment, prefs) != c.accepted) Fail("grammar check is wrong", c.line);
    }
    auto members = prefs_grammar::Members(" a.org,,b.org ,\tc ");
    if (members != std::vector<std::string>{"a.org", "b.org", "c"}) Fail("list members are wrong");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CheckTheChecker();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Larger inputs only repeat what smaller ones reach, more slowly.
    if (size > 16384) return -1;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string once = Rewrite(input);
    const std::string twice = Rewrite(once);
    if (twice != once) Fail("a second rewrite changes the file", once + "\n----\n" + twice);

    const std::vector<std::string> in = Lines(input), out = Lines(once);
    if (out.size() < in.size()) Fail("lines were lost", once);
    const std::vector<LineRead> inRead = ReadAll(in), outRead = ReadAll(out);
    for (size_t i = 0; i < in.size(); ++i) {
        if (!inRead[i].known) break;
        if (out[i] != in[i]) {
            if (inRead[i].accepted && !outRead[i].accepted) Fail("a rewritten line is not Firefox's", out[i]);
            if (out[i].find("user_pref(\"network.negotiate-auth.trusted-uris\", \"") == std::string::npos)
                Fail("a changed line without the trusted-URIs statement", out[i]);
        }
        if (outRead[i].known) {
            const std::vector<std::string> after = TrustedMembers(outRead[i]);
            for (const std::string& member : TrustedMembers(inRead[i]))
                if (!Contains(after, member)) Fail("a trusted-URIs member was lost", member + "\nin: " + out[i]);
        }
    }

    bool inputAccepted = true;
    for (const LineRead& r : inRead) inputAccepted = inputAccepted && r.known && r.accepted;
    if (inputAccepted) {
        std::string applied;
        bool found = false;
        for (size_t i = 0; i < out.size(); ++i) {
            if (!outRead[i].known || !outRead[i].accepted) Fail("the rewritten file is not Firefox's", out[i]);
            for (const auto& pref : outRead[i].prefs)
                if (IsTrustedUris(pref)) applied = pref.value, found = true;
        }
        if (!found || !ContainsNoCase(applied, site::kDomain))
            Fail("the applied trusted-URIs list lacks the site", applied);
    } else {
        // Lines appended after a file Firefox reads only in part must be its own
        // too; the first may close a comment the file left open.
        size_t i = in.size();
        if (i < out.size() && out[i] == "*/") ++i;
        for (bool inComment = false; i < out.size(); ++i) {
            std::vector<prefs_grammar::Pref> prefs;
            if (!prefs_grammar::ReadLine(out[i], inComment, prefs) || inComment || prefs.empty())
                Fail("an appended line is not Firefox's", out[i]);
        }
    }
    return 0;
}
