#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <memory>
#include <thread>

#include "CommTestSupport.h"
#include "Pty.h"
#include "ReadThread.h"
#include "WriteThread.h"

using namespace w32;

namespace {

// A port (a real pty, or a scripted device on one), a close event, a recording window and
// a trace file; the workers under test get the three hand-over values.
class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        blocksBefore = OutstandingLocalBlocks();
        SetDebugOutputHook([this](const char* t) { debug.push_back(t); });
        trace.Start();
        closeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override {
        reader.reset();
        writer.reset();
        if (port) CloseHandle(port);
        CloseHandle(closeEvent);
        recorder.Close();
        if (device) BindScriptedDevice("WORKER", nullptr);
        SetDebugOutputHook(nullptr);
        EXPECT_EQ(OutstandingLocalBlocks(), blocksBefore) << "no heap block outstanding";
    }

    void OpenPty(DWORD interval = 100, DWORD multiplier = 10, DWORD constant = 2,
                 DWORD writeMultiplier = 10, DWORD writeConstant = 2) {
        port = CreateFileA(pty.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
        SetCommTimeouts(port, &t);
    }
    void OpenScripted(DWORD interval = 100, DWORD multiplier = 10, DWORD constant = 2) {
        device = std::make_shared<ScriptedDevice>();
        BindScriptedDevice("WORKER", device);
        port = CreateFileA("WORKER", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, 0);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS t{interval, multiplier, constant, 10, 2};
        SetCommTimeouts(port, &t);
    }
    template <class T>
    std::unique_ptr<T> Start() {
        auto w = std::make_unique<T>();
        w->FCommHandle = port;
        w->FCloseEvent = closeEvent;
        w->FNotifyWnd = recorder.wnd;
        w->Resume();
        return w;
    }
    void StartReader() { reader = Start<TReadThread>(); }
    void StartWriter() { writer = Start<TWriteThread>(); }
    bool Ended(const TThread& t, DWORD ms = 10000) {
        return WaitForSingleObject(t.Handle(), ms) == WAIT_OBJECT_0;
    }
    void Stop(TThread& t, DWORD purge) {
        SetEvent(closeEvent);
        PurgeComm(port, purge);
        ASSERT_TRUE(Ended(t));
    }
    // Lets notifications that are already posted arrive.
    void Drain() {
        PumpUntil([] { return false; }, 30);
    }
    bool Await(std::function<bool()> done) { return PumpUntil(std::move(done)); }
    void PostWrite(const std::vector<unsigned char>& bytes) {
        auto* block = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, bytes.size() + 1));
        std::copy(bytes.begin(), bytes.end(), block);
        ASSERT_TRUE(PostThreadMessageA(writer->ThreadID(), WM_COMMWRITE, bytes.size(),
                                       reinterpret_cast<LPARAM>(block)));
    }

    long blocksBefore = 0;
    PtyPair pty;
    std::shared_ptr<ScriptedDevice> device;
    HANDLE port = 0;
    HANDLE closeEvent = 0;
    Recorder recorder;
    TraceCapture trace;
    std::vector<std::string> debug;
    std::unique_ptr<TReadThread> reader;
    std::unique_ptr<TWriteThread> writer;
};

std::vector<unsigned char> Pattern(std::size_t n) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + 1);
    return v;
}

// ---- receive worker ----

TEST_F(WorkerTest, ReplyOf26BytesIsOneZeroTerminatedBlock) {
    OpenPty();
    StartReader();
    const auto bytes = Pattern(26);
    pty.Write(bytes);
    ASSERT_TRUE(Await([&] { return recorder.Count(WM_COMMDATA) == 1; }));
    const auto d = recorder.Data()[0];
    EXPECT_EQ(d.wParam, 26u);
    ASSERT_EQ(d.block.size(), 27u);
    EXPECT_EQ(std::vector<unsigned char>(d.block.begin(), d.block.end() - 1), bytes);
    EXPECT_EQ(d.block.back(), 0);
    Stop(*reader, PURGE_RXABORT | PURGE_RXCLEAR);
    Drain();
    EXPECT_EQ(recorder.Count(WM_REQUESTHANGUP), 0);
    const auto lines = trace.Lines();
    EXPECT_TRUE(HasLine(lines, "Waiting for a CommEvent (Error) to occur."));
    EXPECT_EQ(CountLines(lines, "Got something from Comm port!!!"), 1);
    EXPECT_EQ(lines.back(), "Read thread shutting down");
    EXPECT_EQ(debug, std::vector<std::string>{"Time to Exit"});
}

TEST_F(WorkerTest, FullReadOf2048Bytes) {
    OpenPty(0, 0, 0);
    StartReader();
    pty.Write(Pattern(2048));
    ASSERT_TRUE(Await([&] { return recorder.Count(WM_COMMDATA) == 1; }));
    EXPECT_EQ(recorder.Data()[0].wParam, 2048u);
    EXPECT_EQ(recorder.Data()[0].block.size(), 2049u);
    Stop(*reader, PURGE_RXABORT | PURGE_RXCLEAR);
}

TEST_F(WorkerTest, BytesAlreadyWaitingAreDrainedByImmediateReads) {
    OpenPty(20, 0, 0);
    const auto bytes = Pattern(4000);  // within what a pty holds
    pty.Write(bytes);
    // Wait until the driver holds them all before the worker starts.
    ASSERT_TRUE(Await([&] {
        COMSTAT st{};
        DWORD e;
        ClearCommError(port, &e, &st);
        return st.cbInQue == 4000;
    }));
    StartReader();
    ASSERT_TRUE(Await([&] { return recorder.Count(WM_COMMDATA) == 2; }));
    const auto d = recorder.Data();
    EXPECT_EQ(d[0].wParam, 2048u);
    EXPECT_EQ(d[1].wParam, 1952u);
    std::vector<unsigned char> all;
    for (const auto& p : d) all.insert(all.end(), p.block.begin(), p.block.end() - 1);
    EXPECT_EQ(all, bytes);
    Stop(*reader, PURGE_RXABORT | PURGE_RXCLEAR);
    EXPECT_EQ(CountLines(trace.Lines(), "Data waiting for ReadFile: "), 1);
}

TEST_F(WorkerTest, ReadEndingEmptyAsksForOneRestart) {
    OpenPty(100, 0, 50);
    StartReader();
    ASSERT_TRUE(Ended(*reader));
    Drain();
    EXPECT_EQ(recorder.Count(WM_REQUESTHANGUP), 1);
    EXPECT_EQ(recorder.Count(WM_COMMDATA), 0);
    const auto lines = trace.Lines();
    EXPECT_EQ(CountLines(lines, "Unable to HandleReadEvent: GetLastError returned: \""), 1);
    EXPECT_EQ(lines.back(), "Read thread shutting down");
}

TEST_F(WorkerTest, ReadCompletingAtOnceEmptyEndsAtStartUp) {
    OpenPty(MAXDWORD, 0, 0);
    StartReader();
    ASSERT_TRUE(Ended(*reader));
    Drain();
    EXPECT_EQ(recorder.Count(WM_REQUESTHANGUP), 1);
    const auto lines = trace.Lines();
    EXPECT_TRUE(HasLine(lines, "Data waiting for ReadFile: "));
    EXPECT_TRUE(HasLine(lines, "Unable to SetupReadEvent: "));
}

TEST_F(WorkerTest, StopWhileWaitingDiscardsUnreadBytesWithoutARequest) {
    OpenPty(0, 0, 0);  // the read waits for 2048 bytes
    StartReader();
    ASSERT_TRUE(
        Await([&] { return PendingOperations(port) == (PENDING_READ | PENDING_COMM_EVENT); }));
    pty.Write(Pattern(30));
    ASSERT_TRUE(Await([&] {
        COMSTAT st{};
        DWORD e;
        ClearCommError(port, &e, &st);
        return st.cbInQue == 0;
    }));
    Stop(*reader, PURGE_RXABORT | PURGE_RXCLEAR);
    Drain();
    EXPECT_EQ(recorder.posted.size(), 0u);
    EXPECT_EQ(debug, std::vector<std::string>{"Time to Exit"});
    EXPECT_EQ(trace.Lines().back(), "Read thread shutting down");
}

TEST_F(WorkerTest, CloseEventAlreadySetAtStart) {
    OpenPty();
    SetEvent(closeEvent);
    StartReader();
    ASSERT_TRUE(Ended(*reader));
    Drain();
    EXPECT_EQ(recorder.Count(WM_REQUESTHANGUP), 1);
    const auto lines = trace.Lines();
    EXPECT_TRUE(HasLine(lines, "Unable to SetupCommEvent1: GetLastError returned: \""));
    EXPECT_EQ(lines.back(), "Read thread shutting down");
}

TEST_F(WorkerTest, LineErrorsArePostedAsTextAndTheWorkerGoesOn) {
    const struct {
        DWORD flags;
        const char* text;
        WPARAM length;
    } table[] = {
        {0x0008, "Comm Event: CE_FRAME, EvtMask = 8", 33},
        {0x000A, "Comm Event: CE_FRAME and CE_OVERRUN, EvtMask = 10", 49},
        {0x000E, "Comm Event: CE_FRAME and CE_OVERRUN and CE_RXPARITY, EvtMask = 14", 65},
        {0x0011, "Comm Event: EV_ERR Unknown EvtMask, EvtMask = 17", 48},
        {0x0018, "Comm Event: CE_FRAME and EV_ERR Unknown EvtMask, EvtMask = 24", 61},
    };
    OpenScripted();
    StartReader();
    std::size_t expected = 0;
    // No line error pending: the event comes with empty flags.
    device->RaiseEvents(EV_ERR);
    ASSERT_TRUE(Await([&] { return recorder.Count(WM_COMMDATA) == 1; }));
    EXPECT_EQ(recorder.Text(0), "Comm Event: NULL Error, EvtMask = 0");
    EXPECT_EQ(recorder.Data()[0].wParam, 35u);
    EXPECT_EQ(recorder.Data()[0].block.size(), 36u);
    ++expected;
    for (const auto& row : table) {
        device->RaiseLineErrors(row.flags);
        ASSERT_TRUE(Await([&] { return recorder.Data().size() == expected + 1; })) << row.text;
        EXPECT_EQ(recorder.Text(expected), row.text);
        EXPECT_EQ(recorder.Data()[expected].wParam, row.length);
        ++expected;
    }
    EXPECT_FALSE(reader->Finished());
    Stop(*reader, PURGE_RXABORT | PURGE_RXCLEAR);
    Drain();
    EXPECT_EQ(recorder.Count(WM_REQUESTHANGUP), 0);
}

TEST_F(WorkerTest, LineErrorGoesBeforeDataCompletingAtTheSameMoment) {
    OpenScripted(0, 0, 0);
    StartReader();
    ASSERT_TRUE(
        Await([&] { return PendingOperations(port) == (PENDING_READ | PENDING_COMM_EVENT); }));
    device->Pause();
    const auto bytes = Pattern(2048);
    write(device->MasterFd(), bytes.data(), bytes.size());
    device->RaiseLineErrors(CE_FRAME);
    device->Resume();
    ASSERT_TRUE(Await([&] { return recorder.Count(WM_COMMDATA) == 2; }));
    EXPECT_EQ(recorder.Text(0), "Comm Event: CE_FRAME, EvtMask = 8");
    EXPECT_EQ(recorder.Data()[1].wParam, 2048u);
    Stop(*reader, PURGE_RXABORT | PURGE_RXCLEAR);
}

TEST_F(WorkerTest, UnexpectedCommEventEndsTheWorker) {
    OpenScripted();
    StartReader();
    ASSERT_TRUE(Await([&] { return PendingOperations(port) & PENDING_COMM_EVENT; }));
    device->RaiseEvents(EV_BREAK);
    ASSERT_TRUE(Ended(*reader));
    Drain();
    EXPECT_EQ(recorder.Count(WM_REQUESTHANGUP), 1);
    const auto lines = trace.Lines();
    EXPECT_TRUE(HasLine(lines, "Unexpected comm event 64"));
    EXPECT_TRUE(HasLine(lines, "Unable HandleCommEvent: "));
}

TEST_F(WorkerTest, InvalidHandleFromAPendingReadGivesExactlyOneRequest) {
    OpenScripted();
    StartReader();
    device->FailPending(ScriptedDevice::Op::Read, ERROR_INVALID_HANDLE);
    ASSERT_TRUE(Ended(*reader));
    Drain();
    EXPECT_EQ(recorder.Count(WM_REQUESTHANGUP), 1);
    const auto lines = trace.Lines();
    EXPECT_TRUE(HasLine(lines, kInvalidHandleLine));
    EXPECT_TRUE(HasLine(lines, "Unable to HandleReadEvent: "));
}

TEST_F(WorkerTest, StartUpReadFailures) {
    const struct {
        DWORD code;
        int requests;
        bool systemLine;
    } cases[] = {{ERROR_INVALID_HANDLE, 1, false}, {ERROR_GEN_FAILURE, 2, true}};
    OpenScripted();
    for (const auto& c : cases) {
        recorder.posted.clear();
        device->FailNextCall(ScriptedDevice::Op::Read, c.code);
        StartReader();
        ASSERT_TRUE(Ended(*reader));
        reader.reset();
        Drain();
        EXPECT_EQ(recorder.Count(WM_REQUESTHANGUP), c.requests) << c.code;
    }
    const auto lines = trace.Lines();
    EXPECT_EQ(CountLines(lines, kInvalidHandleLine), 1);
    EXPECT_EQ(CountLines(lines, "Unexpected ReadFile error: GetLastError returned: \"A device"), 1);
    EXPECT_EQ(CountLines(lines, "Unable to SetupReadEvent: "), 2);
}

TEST_F(WorkerTest, ReceivedBlockWhosePostFailsIsFreed) {
    OpenPty();
    recorder.Close();  // posts to the window now fail
    StartReader();
    pty.Write(Pattern(26));
    ASSERT_TRUE(Ended(*reader));
    const auto lines = trace.Lines();
    EXPECT_TRUE(HasLine(lines, "Got something from Comm port!!!"));
    EXPECT_EQ(lines.back(), "Read thread shutting down");
}

TEST_F(WorkerTest, TraceWriteErrorEndsTheReaderWithoutTouchingItsRecordsLater) {
    OpenPty();
    CloseCommsLog();  // name set, file closed: the first trace line raises
    StartReader();
    ASSERT_TRUE(Ended(*reader));
    EXPECT_NE(reader->FatalException().find("I/O error 105"), std::string::npos);
    Drain();
    EXPECT_EQ(recorder.posted.size(), 0u);
    // The port is free of pending operations: a new read can start at once.
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    unsigned char b[4];
    DWORD n;
    EXPECT_FALSE(ReadFile(port, b, 4, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    CancelIo(port);
    CloseHandle(ov.hEvent);
    OpenCommsLog(trace.path);
}

// ---- transmit worker ----

TEST_F(WorkerTest, ShortWritesAreFollowedByTheRestFromTheFirstUnwrittenByte) {
    OpenScripted();
    device->SetWriteChunkLimit(10);
    StartWriter();
    const auto bytes = Pattern(26);
    PostWrite(bytes);
    std::vector<unsigned char> got;
    ASSERT_TRUE(Await([&] {
        unsigned char b[64];
        ssize_t n = read(device->MasterFd(), b, sizeof b);
        if (n > 0) got.insert(got.end(), b, b + n);
        return got.size() >= 26;
    }));
    EXPECT_EQ(got, bytes);
    Stop(*writer, PURGE_TXABORT | PURGE_TXCLEAR);
    const auto lines = trace.Lines();
    EXPECT_EQ(CountLines(lines, "Writing to comm port"), 1);
    EXPECT_EQ(lines.back(), "Write thread shutting down");
}

TEST_F(WorkerTest, BlocksAreWrittenInTheOrderPosted) {
    OpenPty();
    StartWriter();
    const auto first = Pattern(26);
    std::vector<unsigned char> second(26, 0xEE);
    std::vector<unsigned char> last = {1, 2, 3};
    PostWrite(first);
    PostWrite(second);
    PostWrite({});  // an empty block is one write of 0 bytes
    PostWrite(last);
    auto got = pty.Read(55);
    std::vector<unsigned char> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), last.begin(), last.end());
    EXPECT_EQ(got, expected);
    Stop(*writer, PURGE_TXABORT | PURGE_TXCLEAR);
    Drain();
    EXPECT_EQ(recorder.posted.size(), 0u);
    EXPECT_EQ(CountLines(trace.Lines(), "Writing to comm port"), 4);
}

TEST_F(WorkerTest, CloseEventDuringAPendingWriteEndsQuietlyAndFreesEveryBlock) {
    OpenPty(100, 10, 2, 0, 0);  // no write time-out: a full pty keeps the write pending
    StartWriter();
    PostWrite(std::vector<unsigned char>(60000, 0x33));
    PostWrite(Pattern(26));
    PostWrite(Pattern(26));
    ASSERT_TRUE(Await([&] { return PendingOperations(port) == PENDING_WRITE; }));
    Stop(*writer, PURGE_TXABORT | PURGE_TXCLEAR);
    Drain();
    EXPECT_EQ(recorder.posted.size(), 0u);
    const auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Writing to comm port");
    EXPECT_EQ(lines[1], "Write thread shutting down");
}

TEST_F(WorkerTest, WriteCallFailures) {
    const struct {
        DWORD code;
        int requests;
    } cases[] = {{ERROR_INVALID_HANDLE, 0}, {ERROR_ACCESS_DENIED, 1}};
    OpenScripted();
    for (const auto& c : cases) {
        recorder.posted.clear();
        ResetEvent(closeEvent);
        device->FailNextCall(ScriptedDevice::Op::Write, c.code);
        StartWriter();
        PostWrite(Pattern(26));
        ASSERT_TRUE(Ended(*writer));
        writer.reset();
        Drain();
        EXPECT_EQ(recorder.Count(WM_REQUESTHANGUP), c.requests) << c.code;
    }
    const auto lines = trace.Lines();
    EXPECT_EQ(CountLines(lines, kInvalidHandleLine), 1);
    EXPECT_TRUE(
        HasLine(lines, "Error to writing to CommFileGetLastError returned: \"Access is denied."));
    EXPECT_EQ(CountLines(lines, "Closing TAPI"), 1);
    EXPECT_EQ(CountLines(lines, "Write thread shutting down"), 2);
}

TEST_F(WorkerTest, PendingWriteFailureWhileWaiting) {
    OpenScripted();
    device->Pause();  // keeps the write pending until the failure is injected
    StartWriter();
    PostWrite(Pattern(26));
    ASSERT_TRUE(Await([&] { return PendingOperations(port) == PENDING_WRITE; }));
    device->FailPending(ScriptedDevice::Op::Write, ERROR_GEN_FAILURE);
    device->Resume();
    ASSERT_TRUE(Ended(*writer));
    Drain();
    EXPECT_EQ(recorder.Count(WM_REQUESTHANGUP), 1);
    const auto lines = trace.Lines();
    EXPECT_TRUE(HasLine(lines, "Error writing to CommFile while waitingGetLastError returned: \""));
    EXPECT_TRUE(HasLine(lines, "Closing TAPI"));
}

TEST_F(WorkerTest, UnexpectedThreadMessageIsTracedAndTheWorkerGoesOn) {
    OpenPty();
    StartWriter();
    ASSERT_TRUE(PostThreadMessageA(writer->ThreadID(), WM_USER + 77, 0, 0));
    PostWrite(Pattern(3));
    EXPECT_EQ(pty.Read(3), Pattern(3));
    Stop(*writer, PURGE_TXABORT | PURGE_TXCLEAR);
    EXPECT_TRUE(HasLine(trace.Lines(), "Unexpected message posted to Write thread: 1101"));
}

}  // namespace
