#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "CommTestSupport.h"
#include "Misc.h"

using namespace w32;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(TraceLog, NothingWrittenWhileTheNameIsEmpty) {
    SetGlobalCommsLogFileName({});
    EXPECT_NO_THROW(WriteCommsLog("ignored"));
    EXPECT_NO_THROW(ReportCommError(5, "ignored: "));
}

TEST(TraceLog, CreatesAnewAndWritesOneCrLfLinePerCallReadableAfterClose) {
    TraceCapture trace;
    {
        std::ofstream old(trace.path);
        old << "old content that must go\n";
    }
    trace.Start();
    EXPECT_EQ(ReadAll(trace.path), "") << "truncated at open";
    WriteCommsLog("first");
    WriteCommsLog(std::string("second with \n inside"));
    WriteCommsLog("");
    EXPECT_EQ(ReadAll(trace.path), "") << "short lines stay in the buffer until close";
    CloseCommsLog();
    EXPECT_EQ(ReadAll(trace.path), "first\r\nsecond with \n inside\r\n\r\n");
}

TEST(TraceLog, BufferGoesOutWhenFull) {
    TraceCapture trace;
    trace.Start();
    const std::string line(100, 'x');
    WriteCommsLog(line);
    WriteCommsLog(line);  // 204 bytes: the first 128 are out
    EXPECT_EQ(ReadAll(trace.path).size(), 128u);
    EXPECT_EQ(trace.Lines().size(), 2u);
}

TEST(TraceLog, WriteWithANameButNoFileOpenRaises) {
    SetGlobalCommsLogFileName("/tmp/nuv-not-open.log");
    try {
        WriteCommsLog("x");
        FAIL() << "no error raised";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, kFileNotOpenForOutput);
    }
    SetGlobalCommsLogFileName({});
}

TEST(TraceLog, FailedCreateRaisesTheOsCode) {
    try {
        OpenCommsLog("/nonexistent-folder/trace.log");
        FAIL() << "no error raised";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, ENOENT);
        EXPECT_NE(std::string(e.what()).find("I/O error 2"), std::string::npos);
    }
    EXPECT_FALSE(CommsLogIsOpen());
}

TEST(TraceLog, SecondWriterRefusedReadersAdmitted) {
    TraceCapture trace;
    trace.Start();
    const int fd = open(trace.path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0) << "another writer cannot lock it";
    close(fd);
    std::ifstream reader(trace.path);
    EXPECT_TRUE(reader.good());
}

TEST(TraceLog, FailedFlushRaisesAtTheFillingWriteOrAtClose) {
    SetGlobalCommsLogFileName("/dev/full");
    OpenCommsLog("/dev/full");
    WriteCommsLog("short");
    EXPECT_THROW(WriteCommsLog(std::string(200, 'y')), EInOutError);
    WriteCommsLog("again short");
    try {
        CloseCommsLog();
        FAIL() << "close did not raise";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, ENOSPC);
    }
    EXPECT_FALSE(CommsLogIsOpen());
    SetGlobalCommsLogFileName({});
}

TEST(TraceLog, SeveralThreadsWriteOnlyWholeLines) {
    TraceCapture trace;
    trace.Start();
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < 500; ++i)
                WriteCommsLog("thread " + std::to_string(t) + " line " + std::to_string(i) +
                              std::string(static_cast<std::size_t>(i % 37), '.'));
        });
    for (auto& w : writers) w.join();
    const auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 2000u);
    int next[4] = {};
    for (const auto& l : lines) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(l.c_str(), "thread %d line %d", &t, &i), 2) << l;
        ASSERT_EQ(i, next[t]++) << "each thread's lines in its own order";
        EXPECT_EQ(l, "thread " + std::to_string(t) + " line " + std::to_string(i) +
                         std::string(static_cast<std::size_t>(i % 37), '.'));
    }
}

TEST(ReportCommError, LineForms) {
    const struct {
        const char* prefix;
        DWORD code;
        std::string line;
    } cases[] = {
        {nullptr, ERROR_ACCESS_DENIED, "GetLastError returned: \"Access is denied.\r\n\""},
        {"Error to writing to CommFile", ERROR_INVALID_HANDLE,
         "Error to writing to CommFile"
         "GetLastError returned: \"The handle is invalid.\r\n\""},
        {"Unable to CreateEvent: ", 123456,
         "Unable to CreateEvent: GetLastError returned: \"FormatMessage failed on error 123456 "
         "for the following reason: 317\""},
        {"100% sure %s %d: ", ERROR_INVALID_PARAMETER,
         "100% sure %s %d: GetLastError returned: \"The parameter is incorrect.\r\n\""},
    };
    for (const auto& c : cases) {
        TraceCapture trace;
        trace.Start();
        ReportCommError(c.code, c.prefix);
        CloseCommsLog();
        std::ifstream in(trace.path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        EXPECT_EQ(ss.str(), c.line + "\r\n");
    }
}

TEST(ReportCommError, SystemTextPutsTheClosingQuoteOnTheNextLine) {
    TraceCapture trace;
    trace.Start();
    ReportCommError(ERROR_IO_PENDING, "Unexpected ReadFile error: ");
    const auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "Unexpected ReadFile error: GetLastError returned: \"Overlapped I/O operation is "
              "in progress.");
    EXPECT_EQ(lines[1], "\"");
}

TEST(ReportCommError, CutAt1023Characters) {
    TraceCapture trace;
    trace.Start();
    const std::string prefix(2000, 'p');
    ReportCommError(ERROR_ACCESS_DENIED, prefix.c_str());
    const auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string(1023, 'p'));
}

TEST(ReportCommError, OutOfMemoryForTheText) {
    TraceCapture trace;
    trace.Start();
    std::string debug;
    SetDebugOutputHook([&](const char* t) { debug = t; });
    FailNextLocalAllocs(2);  // the system text and the failure text
    ReportCommError(ERROR_ACCESS_DENIED, "LocalAlloc: ");
    SetDebugOutputHook(nullptr);
    FailNextLocalAllocs(0);
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{"LocalAlloc: Out of memory"});
    EXPECT_EQ(debug, "Out of memory trying to FormatLastError");
}

TEST(FormatLastError, BothModes) {
    EXPECT_EQ(MakeLanguageId(9, 1), 0x0409);
    char* text = FormatLastError(ERROR_SHARING_VIOLATION, nullptr, 0);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text,
                 "The process cannot access the file because it is being used by another "
                 "process.\r\n");
    LocalFree(text);
    char buffer[40];
    EXPECT_EQ(FormatLastError(777777, buffer, sizeof buffer), buffer);
    EXPECT_STREQ(buffer, "FormatMessage failed on error 777777 fo");
}

}  // namespace
