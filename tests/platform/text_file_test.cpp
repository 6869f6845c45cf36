#include "platform/text_file.h"

#include "support/machine_fixture.h"

#include <utility>
#include <vector>

using namespace kestrup;
using namespace kestrup_test;

namespace {

constexpr char kFile[] = "C:\\Data\\file.txt";

class TextFileTest : public MachineTest {
protected:
    void Furnish() override { m.AddDirectory("C:\\Data"); }

    FileHandle Open(DWORD access, DWORD disposition = OPEN_EXISTING) {
        return FileHandle(CreateFileA(kFile, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    // Every line with whether it ended with a line feed.
    std::vector<std::pair<std::string, bool>> Lines(const std::string& data, size_t maxLine = 0,
                                                    bool* failed = nullptr) {
        m.AddFile(kFile, data);
        FileHandle file = Open(GENERIC_READ);
        LineReader reader;
        StartReading(reader, file.get(), maxLine);
        std::vector<std::pair<std::string, bool>> lines;
        std::string line;
        bool ended = false;
        while (ReadLine(reader, line, ended)) lines.emplace_back(line, ended);
        if (failed) *failed = reader.failed;
        return lines;
    }
};

TEST_F(TextFileTest, LinesAreReadWholeWithTheirLineEnds) {
    using Lines_ = std::vector<std::pair<std::string, bool>>;
    const std::string longLine(100000, 'x');
    const std::string beforeChunkEnd((64 << 10) - 1, 'a');  // its CR ends the first 64 KB read, its LF begins the next
    struct Case {
        const char* what;
        std::string data;
        Lines_ expected;
    } cases[] = {
        {"empty file", "", {}},
        {"one empty line", "\n", {{"", true}}},
        {"CR LF and LF", "a\r\nb\nc\r\n", {{"a", true}, {"b", true}, {"c", true}}},
        {"last line without a line end", "a\nlast", {{"a", true}, {"last", false}}},
        {"CR not before LF stays", "a\rb\nend\r", {{"a\rb", true}, {"end\r", false}}},
        {"CR LF across chunks", beforeChunkEnd + "\r\nb", {{beforeChunkEnd, true}, {"b", false}}},
        {"100,000 characters", "start\n" + longLine + "\r\nend\n", {{"start", true}, {longLine, true}, {"end", true}}},
    };
    for (const Case& c : cases) {
        bool failed = true;
        EXPECT_EQ(Lines(c.data, 0, &failed), c.expected) << c.what;
        EXPECT_FALSE(failed) << c.what;
        m.RemoveFile(kFile);
    }
}

TEST_F(TextFileTest, LineOverTheLimitFailsTheReader) {
    bool failed = false;
    auto lines = Lines("short\n" + std::string(5000, 'y') + "\nafter\n", 4096, &failed);
    EXPECT_TRUE(failed);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, "short");
}

TEST_F(TextFileTest, ReadFailureIsReported) {
    m.AddFile(kFile, "data\n");
    FileHandle file = Open(GENERIC_WRITE);  // not open for reading
    LineReader reader;
    StartReading(reader, file.get());
    std::string line;
    bool ended = false;
    EXPECT_FALSE(ReadLine(reader, line, ended));
    EXPECT_TRUE(reader.failed);
}

TEST_F(TextFileTest, WritesLineFeedsAsCrLf) {
    FileHandle file = Open(GENERIC_WRITE, CREATE_NEW);
    ASSERT_TRUE(WriteText(file.get(), "a\nb\n\nc"));
    EXPECT_TRUE(FlushAndClose(file));
    EXPECT_FALSE(file.valid());
    EXPECT_EQ(m.FindFile(kFile)->data, "a\r\nb\r\n\r\nc");
}

TEST_F(TextFileTest, ShortWriteOnFullDiskIsReported) {
    FileHandle file = Open(GENERIC_WRITE, CREATE_NEW);
    m.diskSpace = 5;
    EXPECT_FALSE(WriteText(file.get(), "line one\nline two\n"));
    EXPECT_EQ(m.FindFile(kFile)->data, "line ");  // what fitted
    EXPECT_TRUE(WriteText(file.get(), ""));       // nothing to write asks for no space
}

TEST_F(TextFileTest, WriterGathersLinesIntoFewCheckedWrites) {
    const std::string line = "user_pref(\"some.preference\", 1);\n";
    struct Case {
        const char* what;
        long long diskSpace;
        bool ok;
    } cases[] = {{"room enough", -1, true}, {"disk full half-way", 100000, false}};
    ForEachRow(cases, [&](const Case& c) {
        m.AddFile(kFile, "");
        m.diskSpace = c.diskSpace;
        FileHandle file = Open(GENERIC_WRITE, TRUNCATE_EXISTING);
        TextWriter writer;
        StartWriting(writer, file.get());
        std::string expected;
        bool allTaken = true;
        for (int i = 0; i < 10000; ++i) {
            allTaken = WriteText(writer, line) && allTaken;
            expected += "user_pref(\"some.preference\", 1);\r\n";
        }
        EXPECT_EQ(FinishWriting(writer), c.ok) << c.what;
        EXPECT_EQ(allTaken, c.ok) << c.what;               // a failure is answered by the write that met it, and sticks
        EXPECT_LE(m.CallCount("WriteFile"), 7) << c.what;  // 370,000 bytes in pieces of 64 KB
        if (c.ok) EXPECT_EQ(m.FindFile(kFile)->data, expected) << c.what;
        if (!c.ok) EXPECT_EQ(m.FindFile(kFile)->data.size(), 100000u) << c.what;  // nothing after the failure
    });
}

TEST_F(TextFileTest, FailedFlushIsReportedAndTheFileStillClosed) {
    FileHandle file = Open(GENERIC_WRITE, CREATE_NEW);
    ASSERT_TRUE(WriteText(file.get(), "x\n"));
    m.flushFails = true;
    EXPECT_FALSE(FlushAndClose(file));
    EXPECT_FALSE(file.valid());  // and the fixture finds no handle left open
}

}  // namespace
