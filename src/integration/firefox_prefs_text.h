// The text of a Firefox prefs.js, rewritten line by line so that the
// trusted-URIs preference lists the site domain and SSPI is turned off where
// the installing account calls for it. Pure text: no file, no Windows call,
// so it runs (and is fuzzed) anywhere.
#pragma once

#include <string>

namespace kestrup {

// The line to write in place of one preference line (with its line feed when
// it had one). Lines that are not the trusted-URIs preference come back as
// they are.
std::string MergeTrustedUrisLine(const std::string& line);

// What a rewrite has learnt from the lines so far.
struct PrefsRewrite {
    bool trustedUrisSeen = false;  // the preference stands in the file (merged, or kept unreadable)
    bool sspiOffSeen = false;      // a line turns SSPI off
    bool inComment = false;        // an open "/* */" comment carries into the next line
    bool lastLineEnded = true;     // the last line written ends with its line feed
};

// The text to write for the next line read from prefs.js: the line as the
// line reader gives it (a carriage return before the line feed dropped), with
// "\n" when it had a line feed.
std::string RewritePrefsLine(PrefsRewrite& rewrite, const std::string& line);
// Most lines of a prefs.js are other preferences. True when the next line is
// plain ASCII, opens no comment, stands in none and does not name the
// trusted-URIs preference: it is then to be written as read (and has been
// noted as RewritePrefsLine would note it). False: pass it to RewritePrefsLine.
bool KeepPrefsLineAsRead(PrefsRewrite& rewrite, const std::string& line);

// Whether the SSPI line is written for an installing account of this domain
// (the empty text when it cannot be learnt): not when the domain contains
// "WIN" or the site domain, in any case.
bool WantsSspiLine(const std::string& accountDomain);

// What follows the last line: the default trusted-URIs line when the file had
// none, the SSPI line when it had no SSPI-off line and sspiLine is set, and
// before them a line feed when the last line had none.
std::string FinishPrefsRewrite(const PrefsRewrite& rewrite, bool sspiLine);

// A whole prefs.js, split into lines as the line reader splits them, with "\n"
// line ends in the result (a file writes each as CR LF).
std::string RewritePrefsText(const std::string& text, const std::string& accountDomain);

}  // namespace kestrup
