#include <gtest/gtest.h>
#include <time.h>

#include <QVariant>
#include <algorithm>
#include <memory>

#include "Comm32.h"
#include "CommTestSupport.h"
#include "ErrorCapture.h"
#include "Pty.h"
#include "ReadThread.h"
#include "WriteThread.h"

using namespace w32;

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

class Comm32Test : public ::testing::Test {
protected:
    void SetUp() override {
        blocksBefore = OutstandingLocalBlocks();
        handlesBefore = OpenHandleCount();
        comm = std::make_unique<TComm32>();
        comm->SetCommPort(QString::fromStdString(pty.SlavePath()));
    }
    void TearDown() override {
        comm.reset();
        PumpUntil([] { return false; }, 20);
        EXPECT_EQ(OutstandingLocalBlocks(), blocksBefore) << "no heap block outstanding";
        EXPECT_EQ(OpenHandleCount(), handlesBefore) << "every handle made is closed";
    }
    void Receive() {
        comm->SetOnReceiveData([this](void* buffer, std::uint16_t length) {
            auto* b = static_cast<unsigned char*>(buffer);
            received.emplace_back(b, b + length);
            receiveThread = GetCurrentThreadId();
        });
    }
    std::string Expect(const std::function<void()>& action) {
        try {
            action();
        } catch (const ECommsError& e) {
            return e.what();
        }
        return "no exception";
    }

    long blocksBefore = 0;
    std::size_t handlesBefore = 0;
    PtyPair pty;
    std::unique_ptr<TComm32> comm;
    std::vector<std::vector<unsigned char>> received;
    DWORD receiveThread = 0;
};

TEST_F(Comm32Test, DefaultsOfANewComponent) {
    TComm32 fresh;
    EXPECT_EQ(fresh.CommPort(), "COM1");
    EXPECT_EQ(fresh.BaudRate(), 9600u);
    EXPECT_EQ(fresh.ByteSize(), 8);
    EXPECT_EQ(fresh.Parity(), 0);
    EXPECT_EQ(fresh.StopBits(), 0);
    DWORD t[5];
    fresh.Timeouts(t);
    EXPECT_EQ(std::vector<DWORD>(t, t + 5), (std::vector<DWORD>{60, 10, 2, 10, 2}));
    EXPECT_FALSE(fresh.OnReceiveData());
    EXPECT_FALSE(fresh.OnRequestHangup());
    EXPECT_TRUE(fresh.CommsLogFileName().isEmpty());
    EXPECT_EQ(fresh.CommHandle(), 0u);
    EXPECT_NE(fresh.NotifyWnd(), 0u);
    EXPECT_EQ(fresh.property("BaudRate").toUInt(), 9600u);
    TComm32 designed(nullptr, true);
    EXPECT_EQ(designed.NotifyWnd(), 0u);
}

TEST_F(Comm32Test, StartAppliesTimeoutsAndLineSettings) {
    comm->SetTimeouts(100, 10, 2, 10, 2);
    comm->SetBaudRate(19200);
    ASSERT_TRUE(comm->StartComm());
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(comm->CommHandle(), &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 100u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 2u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 2u);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(comm->CommHandle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_NE(comm->ReadThread(), nullptr);
    EXPECT_NE(comm->WriteThread(), nullptr);
    comm->SetBaudRate(4800);  // changes nothing on the line until the next start
    ASSERT_TRUE(GetCommState(comm->CommHandle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
}

TEST_F(Comm32Test, RefusedLineSettingsStillStartAndKeepTheOld) {
    comm->SetParity(EVENPARITY);  // a pty refuses parity
    ASSERT_TRUE(comm->StartComm());
    DCB dcb{};
    ASSERT_TRUE(GetCommState(comm->CommHandle(), &dcb));
    EXPECT_EQ(dcb.Parity, NOPARITY);
}

TEST_F(Comm32Test, StartOnARunningComponentChangesNothing) {
    ASSERT_TRUE(comm->StartComm());
    const HANDLE port = comm->CommHandle();
    const auto* reader = comm->ReadThread();
    EXPECT_EQ(Expect([&] { comm->StartComm(); }), "该串口被占用!");
    EXPECT_EQ(comm->CommHandle(), port);
    EXPECT_EQ(comm->ReadThread(), reader);
}

TEST_F(Comm32Test, FailedOpenHoldsUntilStop) {
    comm->SetCommPort("/dev/nuv-no-such-port");
    EXPECT_EQ(Expect([&] { comm->StartComm(); }), "打开串口出错!");
    EXPECT_EQ(Expect([&] { comm->StartComm(); }), "该串口被占用!");
    comm->StopComm();
    comm->SetCommPort(QString::fromStdString(pty.SlavePath()));
    EXPECT_TRUE(comm->StartComm());
}

TEST_F(Comm32Test, StopAfterAFailedOpenClosesNoStaleEvent) {
    ASSERT_TRUE(comm->StartComm());
    comm->StopComm();
    // A live event that takes over the stale handle value must survive.
    comm->SetCommPort("/dev/nuv-no-such-port");
    EXPECT_EQ(Expect([&] { comm->StartComm(); }), "打开串口出错!");
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    comm->StopComm();
    EXPECT_TRUE(SetEvent(other)) << "a handle the component does not own stays open";
    CloseHandle(other);
}

TEST_F(Comm32Test, RegularFileIsRefusedAndClosedByTheNextStop) {
    char path[] = "/tmp/nuv-file-XXXXXX";
    close(mkstemp(path));
    comm->SetCommPort(path);
    EXPECT_EQ(Expect([&] { comm->StartComm(); }), "该文件句柄非串口句柄!");
    EXPECT_EQ(OpenHandleCount(), handlesBefore + 2) << "the window and the file";
    comm->StopComm();
    EXPECT_EQ(OpenHandleCount(), handlesBefore + 1);
    unlink(path);
}

TEST_F(Comm32Test, FailureToMakeTheCloseEventLetsGoOfThePort) {
    FailNextEvents(1);
    EXPECT_FALSE(comm->StartComm());
    EXPECT_EQ(comm->CommHandle(), 0u);
    ASSERT_TRUE(comm->StartComm()) << "the port can be opened again";
}

TEST_F(Comm32Test, WorkerThatCannotBeMadeRaisesAndStopReleasesTheRest) {
    FailNextThreadCreations(1);
    EXPECT_EQ(Expect([&] { comm->StartComm(); }), "不能建立读线程!");
    EXPECT_EQ(comm->ReadThread(), nullptr);
    comm->StopComm();
    ASSERT_TRUE(comm->StartComm());
    comm->StopComm();
    // Once the receive worker is made, the transmit worker fails: the receive worker runs.
    FailNextThreadCreations(1, 1);
    EXPECT_EQ(Expect([&] { comm->StartComm(); }), "不能建立写线程!");
    EXPECT_NE(comm->ReadThread(), nullptr);
    EXPECT_EQ(comm->WriteThread(), nullptr);
    comm->StopComm();
    EXPECT_EQ(comm->ReadThread(), nullptr);
    ASSERT_TRUE(comm->StartComm());
}

TEST_F(Comm32Test, StopOnAClosedComponentTracesNothing) {
    TraceCapture trace;
    comm->SetCommsLogFileName(QString::fromStdString(trace.path));
    OpenCommsLog(trace.path);
    comm->StopComm();
    EXPECT_TRUE(trace.Lines().empty());
    comm->SetCommsLogFileName({});
}

TEST_F(Comm32Test, WriteOnAClosedComponent) {
    TraceCapture trace;
    trace.Start();
    const long before = OutstandingLocalBlocks();
    const unsigned char bytes[3] = {1, 2, 3};
    EXPECT_FALSE(comm->WriteCommData(bytes, 3));
    EXPECT_EQ(OutstandingLocalBlocks(), before);
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{"Write thread not created"});
}

TEST_F(Comm32Test, WriteReachesThePeerAndCountZeroIsAccepted) {
    ASSERT_TRUE(comm->StartComm());
    EXPECT_TRUE(comm->WriteCommData(nullptr, 0));
    const unsigned char frame[26] = {0xAA, 1, 9};
    EXPECT_TRUE(comm->WriteCommData(frame, 26));
    const auto got = pty.Read(26);
    EXPECT_EQ(got, std::vector<unsigned char>(frame, frame + 26));
}

TEST_F(Comm32Test, BlockFromThePeerReachesTheHandlerOnTheWindowThread) {
    comm->SetTimeouts(20, 10, 2, 10, 2);
    Receive();
    ASSERT_TRUE(comm->StartComm());
    pty.Write({0xAA, 5, 9});
    ASSERT_TRUE(PumpUntil([&] { return !received.empty(); }));
    EXPECT_EQ(received[0], (std::vector<unsigned char>{0xAA, 5, 9}));
    EXPECT_EQ(receiveThread, GetCurrentThreadId());
    // Without a handler the block is still freed (checked when the test ends).
    comm->SetOnReceiveData(nullptr);
    pty.Write({1, 2});
    PumpUntil([] { return false; }, 200);
}

TEST_F(Comm32Test, DataBlockIsFreedWhenTheHandlerThrowsAndTheErrorGoesToTheApplication) {
    ErrorCapture errors;
    const std::string& reported = errors.text;
    comm->SetTimeouts(20, 10, 2, 10, 2);
    comm->SetOnReceiveData([](void*, std::uint16_t) { throw std::runtime_error("handler"); });
    ASSERT_TRUE(comm->StartComm());
    pty.Write({7});
    EXPECT_TRUE(PumpUntil([&] { return !reported.empty(); }));
    EXPECT_EQ(reported, "handler");
}

TEST_F(Comm32Test, RestartKeepsPortSettingsAndTraceButRenewsWorkersAndEvent) {
    TraceCapture trace;
    comm->SetCommsLogFileName(QString::fromStdString(trace.path));
    comm->SetBaudRate(19200);
    ASSERT_TRUE(comm->StartComm());
    const HANDLE port = comm->CommHandle();
    const HANDLE oldEvent = comm->CloseEvent();
    const DWORD oldReader = comm->ReadThread()->ThreadID();
    const DWORD oldWriter = comm->WriteThread()->ThreadID();
    ASSERT_TRUE(comm->RestartComm());
    EXPECT_EQ(comm->CommHandle(), port);
    EXPECT_NE(comm->CloseEvent(), oldEvent);
    EXPECT_EQ(WaitForSingleObject(comm->CloseEvent(), 0), WAIT_TIMEOUT) << "new event not set";
    EXPECT_NE(comm->ReadThread()->ThreadID(), oldReader);
    EXPECT_NE(comm->WriteThread()->ThreadID(), oldWriter);
    DCB dcb{};
    GetCommState(port, &dcb);
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_TRUE(CommsLogIsOpen());
    comm->StopComm();
    const auto lines = trace.Lines();
    EXPECT_EQ(CountLines(lines, "Closing Read Thread "), 2);
    EXPECT_EQ(CountLines(lines, "Closing Write Thread"), 2);
    comm->SetCommsLogFileName({});
}

TEST_F(Comm32Test, RestartFromAnIdleLineLosesNoLaterReply) {
    comm->SetTimeouts(20, 1, 30, 10, 2);  // an empty read ends after about 2 s
    int restarts = 0;
    Receive();
    comm->SetOnRequestHangup([&](QObject* sender) {
        EXPECT_EQ(sender, comm.get());
        ++restarts;
        comm->RestartComm();
    });
    ASSERT_TRUE(comm->StartComm());
    ASSERT_TRUE(PumpUntil([&] { return restarts >= 1; }, 15000));
    pty.Write({0xAA, 1, 2, 3});
    ASSERT_TRUE(PumpUntil([&] { return !received.empty(); }));
    EXPECT_EQ(received[0], (std::vector<unsigned char>{0xAA, 1, 2, 3}));
}

TEST_F(Comm32Test, HangupRequestWhileNotRunningStartsNothing) {
    int restarts = 0;
    bool lastResult = true;
    comm->SetOnRequestHangup([&](QObject*) {
        ++restarts;
        lastResult = comm->RestartComm();
    });
    ASSERT_TRUE(comm->StartComm());
    ASSERT_TRUE(PumpUntil([&] {
        return PendingOperations(comm->CommHandle()) == (PENDING_READ | PENDING_COMM_EVENT);
    }));
    PostMessageA(comm->NotifyWnd(), WM_REQUESTHANGUP, 0, 0);
    comm->StopComm();  // the request is handled after the stop
    ASSERT_TRUE(PumpUntil([&] { return restarts == 1; }));
    EXPECT_FALSE(lastResult);
    EXPECT_EQ(comm->ReadThread(), nullptr);
    EXPECT_EQ(comm->CommHandle(), 0u);

    comm->SetCommPort("/dev/nuv-no-such-port");
    EXPECT_EQ(Expect([&] { comm->StartComm(); }), "打开串口出错!");
    PostMessageA(comm->NotifyWnd(), WM_REQUESTHANGUP, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return restarts == 2; }));
    EXPECT_FALSE(lastResult);
    EXPECT_EQ(comm->ReadThread(), nullptr);
    comm->StopComm();
}

TEST_F(Comm32Test, RestartFailureInsideTheHangupHandlerReachesTheApplicationHandler) {
    ErrorCapture errors;
    const std::string& reported = errors.text;
    comm->SetOnRequestHangup([&](QObject*) { comm->RestartComm(); });
    ASSERT_TRUE(comm->StartComm());
    FailNextThreadCreations(1);
    PostMessageA(comm->NotifyWnd(), WM_REQUESTHANGUP, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !reported.empty(); }));
    EXPECT_EQ(reported, "不能建立读线程!");
    comm->StopComm();
    EXPECT_TRUE(comm->StartComm());
}

TEST_F(Comm32Test, VanishedDeviceGoesQuietAndTheNextDeviceOpens) {
    comm->SetTimeouts(100, 10, 2, 10, 2);
    int restarts = 0;
    comm->SetOnRequestHangup([&](QObject*) {
        ++restarts;
        comm->RestartComm();
    });
    ASSERT_TRUE(comm->StartComm());
    pty.ReleaseSlave();
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return restarts >= 1 && comm->ReadThread() == nullptr; }));
    PumpUntil([] { return false; }, 300);
    const int settled = restarts;
    const double cpu0 = CpuSeconds();
    RunEventLoopFor(1000);
    EXPECT_EQ(restarts, settled) << "no more restarts";
    EXPECT_LE(settled, 3);
    EXPECT_LT(CpuSeconds() - cpu0, 0.2);

    PtyPair next;
    comm->StopComm();
    comm->SetCommPort(QString::fromStdString(next.SlavePath()));
    Receive();
    ASSERT_TRUE(comm->StartComm());
    next.Write({0xAA});
    EXPECT_TRUE(PumpUntil([&] { return !received.empty(); }));
}

TEST_F(Comm32Test, DestroyingARunningComponentStopsItsWorkers) {
    ASSERT_TRUE(comm->StartComm());
    pty.Write({1, 2, 3});
    comm.reset();
    // The port is free again, so the workers have ended and closed nothing twice.
    TComm32 again;
    again.SetCommPort(QString::fromStdString(pty.SlavePath()));
    EXPECT_TRUE(again.StartComm());
}

TEST_F(Comm32Test, TraceHoldsTheWholeSequenceInOrder) {
    TraceCapture trace;
    comm->SetCommsLogFileName(QString::fromStdString(trace.path));
    comm->SetTimeouts(20, 10, 2, 10, 2);
    Receive();
    ASSERT_TRUE(comm->StartComm());
    const unsigned char frame[3] = {0xAA, 1, 9};
    ASSERT_TRUE(PumpUntil([&] {
        return PendingOperations(comm->CommHandle()) == (PENDING_READ | PENDING_COMM_EVENT);
    }));
    comm->WriteCommData(frame, 3);
    EXPECT_EQ(pty.Read(3).size(), 3u);
    pty.Write({0xAA, 1, 9});
    ASSERT_TRUE(PumpUntil([&] { return !received.empty(); }));
    comm->StopComm();
    const auto lines = trace.Lines();
    const std::vector<std::string> order = {
        "Waiting for a CommEvent (Error) to occur.",
        "Waiting for data from comm connection.",
        "Writing to comm port",
        "Got something from Comm port!!!",
        "Stopping the Comm",
        "Closing Read Thread ",
        "Read thread shutting down",
        "Closing Write Thread",
    };
    std::size_t at = 0;
    for (const auto& line : lines)
        if (at < order.size() && line == order[at]) ++at;
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    EXPECT_EQ(at, order.size()) << all;
    // Both workers wait on the one close event, so the transmit worker may end as soon as
    // the receive worker is told to.
    const auto stop = std::find(lines.begin(), lines.end(), "Closing Read Thread ");
    EXPECT_NE(std::find(stop, lines.end(), "Write thread shutting down"), lines.end()) << all;
    comm->SetCommsLogFileName({});
}

TEST_F(Comm32Test, TraceFileOnAFullDiskEndsAWorkerButNotTheProcess) {
    comm->SetCommsLogFileName("/dev/full");
    comm->SetTimeouts(20, 10, 2, 10, 2);
    Receive();
    ASSERT_TRUE(comm->StartComm());
    // Enough lines to fill the buffer: some writer meets the error.
    for (int i = 0; i < 10; ++i) pty.Write({0xAA});
    PumpUntil([] { return false; }, 300);
    EXPECT_THROW(comm->StopComm(), EInOutError);
    EXPECT_EQ(comm->CommHandle(), 0u) << "released despite the trace error";
    comm->SetCommsLogFileName({});
    ASSERT_TRUE(comm->StartComm());
    pty.Write({0xAA});
    EXPECT_TRUE(PumpUntil([&] { return !received.empty(); }));
}

}  // namespace
