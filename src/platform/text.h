// Text helpers over 8-bit texts in the ANSI code page. Several parsers rely on
// FindNoCase's conventions: a 1-based position, 0 for "absent", 1 for "begins
// with", and position minus 1 as the length of the text before the match.
//
// FindNoCase and BeginsWithNoCase fold through Windows (text_fold.cpp); the
// rest is plain C++ (text.cpp), for code that must run where Windows is not.
#pragma once

#include <string>

namespace kestrup {

// 1-based position of the first occurrence of pattern in text, letters folded
// with the ANSI code page; 0 when absent; 1 when pattern is empty.
int FindNoCase(const std::string& text, const std::string& pattern);
// True when text begins with start, letters folded as FindNoCase folds them.
bool BeginsWithNoCase(const std::string& text, const std::string& start);
// True when every character is plain ASCII (below 0x80), which folds alike in
// every ANSI code page.
bool IsAscii(const std::string& text);
// FindNoCase with letters folded A to Z only, without asking Windows: the
// same answer wherever text and pattern are ASCII.
int FindNoCaseAscii(const std::string& text, const std::string& pattern);
// The first count characters (none for count <= 0, all when count >= length).
std::string LeftPart(const std::string& source, int count);
// The last count characters (none for count <= 0, all when count >= length).
std::string RightPart(const std::string& source, int count);
// Removes spaces (code 32 only) at both ends; tabs and line ends stop it.
void TrimSpaces(std::string& text);
// Replaces every occurrence of from's first character by to's first character.
void ReplaceChar(std::string& text, const std::string& from, const std::string& to);
// Cuts a path before its last backslash; a leading double quote goes too.
void StripFileName(std::string& path);
// Appends a backslash unless the path already ends in one ("" becomes "\").
void AddTrailingBackslash(std::string& path);
// atoi rules (leading white space, sign, digits); stores and returns the value.
// Values beyond the 32-bit range are clamped rather than left undefined.
int TextToInt(const std::string& text, int* value);
std::string IntToText(int value);
// Whole-text comparison folding only A to Z, like _stricmp in the C locale.
bool EqualsNoCase(const std::string& a, const std::string& b);

// A UTF-16 text (terminated) in the ANSI code page, only when every character
// converts exactly: no best-fit look-alike ("\u0141" as "L", a full-width
// backslash as "\\"), no "?" for a character the code page lacks. False, and
// empty, otherwise.
bool ExactAnsi(const wchar_t* text, std::string& out);

}  // namespace kestrup
