#include "platform/text_file.h"

#include <algorithm>

namespace kestrup {

namespace {

// Whole pieces per call: under Wine, and on Windows, each ReadFile or
// WriteFile is a trip into the system that costs more than the bytes.
constexpr size_t kChunkBytes = 64u << 10;
constexpr size_t kWritePiece = 64u << 10;
// WriteFile takes at most a DWORD; big texts go in pieces well below it.
constexpr size_t kMaxWriteBytes = 1u << 20;

bool Refill(LineReader& reader) {
    DWORD read = 0;
    if (!ReadFile(reader.file, reader.chunk.data(), static_cast<DWORD>(reader.chunk.size()), &read, nullptr)) {
        reader.failed = true;
        return false;
    }
    reader.next = 0;
    reader.filled = read;
    if (read == 0) reader.atEnd = true;
    return read > 0;
}

void AppendCrLf(std::string& out, const std::string& text) {
    size_t start = 0;
    for (size_t feed = text.find('\n'); feed != std::string::npos; feed = text.find('\n', start)) {
        out.append(text, start, feed - start);
        out += "\r\n";
        start = feed + 1;
    }
    out.append(text, start, std::string::npos);
}

}  // namespace

void StartReading(LineReader& reader, HANDLE file, size_t maxLineLength) {
    reader = LineReader{};
    reader.file = file;
    reader.maxLineLength = maxLineLength;
    reader.chunk.resize(kChunkBytes);
}

bool ReadLine(LineReader& reader, std::string& line, bool& hasLineEnd) {
    line.clear();
    hasLineEnd = false;
    if (reader.failed) return false;
    bool any = false;
    while (true) {
        if (reader.next >= reader.filled && (reader.atEnd || !Refill(reader))) {
            if (reader.failed) return false;
            break;
        }
        const char* begin = reader.chunk.data() + reader.next;
        const char* end = reader.chunk.data() + reader.filled;
        const char* feed = std::find(begin, end, '\n');
        size_t take = static_cast<size_t>(feed - begin);
        if (reader.maxLineLength && line.size() + take > reader.maxLineLength) {
            reader.failed = true;
            return false;
        }
        line.append(begin, take);
        any = true;
        reader.next += take;
        if (feed != end) {
            ++reader.next;
            hasLineEnd = true;
            break;
        }
    }
    if (!any) return false;
    if (hasLineEnd && !line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

bool WriteBytes(HANDLE file, const char* data, size_t size) {
    while (size > 0) {
        DWORD piece = static_cast<DWORD>(std::min(size, kMaxWriteBytes));
        DWORD written = 0;
        if (!WriteFile(file, data, piece, &written, nullptr) || written != piece) return false;
        data += piece;
        size -= piece;
    }
    return true;
}

bool WriteText(HANDLE file, const std::string& text) {
    std::string converted;
    converted.reserve(text.size() + text.size() / 16 + 2);
    AppendCrLf(converted, text);
    return WriteBytes(file, converted.data(), converted.size());
}

void StartWriting(TextWriter& writer, HANDLE file) {
    writer = TextWriter{};
    writer.file = file;
    writer.pending.reserve(kWritePiece + kWritePiece / 8);
}

bool WriteText(TextWriter& writer, const std::string& text) {
    if (writer.failed) return false;
    AppendCrLf(writer.pending, text);
    if (writer.pending.size() < kWritePiece) return true;
    writer.failed = !WriteBytes(writer.file, writer.pending.data(), writer.pending.size());
    writer.pending.clear();
    return !writer.failed;
}

bool FinishWriting(TextWriter& writer) {
    if (writer.failed) return false;
    writer.failed = !WriteBytes(writer.file, writer.pending.data(), writer.pending.size());
    writer.pending.clear();
    return !writer.failed;
}

bool FlushAndClose(FileHandle& file) {
    const bool flushed = FlushFileBuffers(file.get()) != FALSE;
    const bool closed = CloseHandle(file.release()) != FALSE;
    return flushed && closed;
}

}  // namespace kestrup
