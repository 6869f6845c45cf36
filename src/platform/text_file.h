// Text files through Win32 handles: lines of any length read whole in fixed
// chunks (memory grows with the longest line, never with the file), and text
// written with CR LF line ends where every write is checked.
#pragma once

#include "platform/handles.h"

#include <windows.h>

#include <string>
#include <vector>

namespace kestrup {

struct LineReader {
    HANDLE file = INVALID_HANDLE_VALUE;  // not owned
    size_t maxLineLength = 0;            // 0: no limit
    std::vector<char> chunk;
    size_t next = 0;
    size_t filled = 0;
    bool atEnd = false;
    bool failed = false;  // a read failed, or a line was longer than maxLineLength
};

// Reads from the handle's current position on. A line longer than
// maxLineLength (when it is not 0) fails the reader instead of being cut.
void StartReading(LineReader& reader, HANDLE file, size_t maxLineLength = 0);
// The next line without its line feed (a carriage return right before the
// line feed goes too); hasLineEnd is false for a last line that ends without
// one. False at the end of the file, and when reading failed (reader.failed).
bool ReadLine(LineReader& reader, std::string& line, bool& hasLineEnd);

// Writes text with every line feed as carriage return and line feed. False
// when WriteFile fails or writes less than asked.
bool WriteText(HANDLE file, const std::string& text);

// Text written line by line, gathered into pieces of about 64 KB so that a
// file of many lines costs a few WriteFile calls, not one per line. The first
// failure sticks: every later call answers false and writes nothing more.
struct TextWriter {
    HANDLE file = INVALID_HANDLE_VALUE;  // not owned
    std::string pending;                 // converted, not yet written
    bool failed = false;
};
void StartWriting(TextWriter& writer, HANDLE file);
// Adds text with every line feed as CR LF; writes a full piece when one is
// gathered. False once a write has failed.
bool WriteText(TextWriter& writer, const std::string& text);
// Writes what is still gathered. False when this or any earlier write failed.
bool FinishWriting(TextWriter& writer);
// Writes the bytes unchanged, with the same check.
bool WriteBytes(HANDLE file, const char* data, size_t size);
// Flushes what was written to the disk and closes the file. False when either
// fails; the handle is closed either way.
bool FlushAndClose(FileHandle& file);

}  // namespace kestrup
