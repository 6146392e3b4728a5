#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "Pty.h"
#include "Win32.h"

using namespace w32;
using Clock = std::chrono::steady_clock;

namespace {

long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

HANDLE Open(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, 0);
}

struct Overlapped {
    OVERLAPPED ov{};
    Overlapped() { ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr); }
    ~Overlapped() { CloseHandle(ov.hEvent); }
    bool Wait(DWORD ms = 10000) { return WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
};

void SetTimeouts(HANDLE h, DWORD i, DWORD m, DWORD c, DWORD wm = 0, DWORD wc = 0) {
    COMMTIMEOUTS t{i, m, c, wm, wc};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = Open(pty.SlavePath());
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }
    PtyPair pty;
    HANDLE port = INVALID_HANDLE_VALUE;
    unsigned char buf[2048]{};
};

TEST(PortNames, MapToDevicePaths) {
    EXPECT_EQ(PortPath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(PortPath("com12"), "/dev/ttyS11");
    EXPECT_EQ(PortPath("\\\\.\\COM3"), "/dev/ttyS2");
    EXPECT_EQ(PortPath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(PortPath("/tmp/ttyNUV"), "/tmp/ttyNUV");
    EXPECT_EQ(PortPath("COMX"), "/dev/COMX");
}

TEST(PortNames, MissingDeviceAndRegularFile) {
    EXPECT_EQ(Open("/dev/does-not-exist-nuv"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open("/nonexistent-dir/x"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    char path[] = "/tmp/nuv-plain-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    HANDLE file = Open(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(file), FILE_TYPE_DISK);
    EXPECT_TRUE(CloseHandle(file));
    unlink(path);
}

TEST_F(SerialTest, TerminalIsACharacterDeviceOpenedExclusively) {
    EXPECT_EQ(GetFileType(port), FILE_TYPE_CHAR);
    EXPECT_EQ(Open(pty.SlavePath()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    // Another process is refused as well.
    const pid_t child = fork();
    if (child == 0) _exit(Open(pty.SlavePath()) == INVALID_HANDLE_VALUE ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CloseHandle(port);
    port = Open(pty.SlavePath());
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "free again after close";
}

TEST_F(SerialTest, LineSettingsAppliedAndARefusedOneLeavesTheOld) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(port, &dcb));
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, 19200u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);

    const struct {
        DWORD baud;
        BYTE size, parity, stop;
    } refused[] = {{12345, 8, 0, 0},
                   {9600, 9, 0, 0},
                   {9600, 8, 5, 0},
                   {9600, 8, 0, ONE5STOPBITS},
                   {9600, 7, EVENPARITY, 0} /* a pty forces 8N */};
    for (const auto& r : refused) {
        DCB bad = back;
        bad.BaudRate = r.baud;
        bad.ByteSize = r.size;
        bad.Parity = r.parity;
        bad.StopBits = r.stop;
        EXPECT_FALSE(SetCommState(port, &bad)) << r.baud;
        DCB now{};
        ASSERT_TRUE(GetCommState(port, &now));
        EXPECT_EQ(now.BaudRate, 19200u);
        EXPECT_EQ(now.ByteSize, 8);
        EXPECT_EQ(now.StopBits, TWOSTOPBITS);
    }
}

TEST_F(SerialTest, BurstIsOneReadEndingOneIntervalAfterItsLastByte) {
    SetTimeouts(port, 100, 10, 2);
    Overlapped o;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buf, sizeof buf, &n, &o.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    for (int i = 0; i < 26; ++i) {
        pty.Write({static_cast<unsigned char>(i)});
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // paced like a slow line
    }
    const auto last = Clock::now();
    ASSERT_TRUE(o.Wait());
    const long gap = MsSince(last);
    ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, FALSE));
    EXPECT_EQ(n, 26u);
    for (int i = 0; i < 26; ++i) EXPECT_EQ(buf[i], i);
    EXPECT_GE(gap, 90);
    EXPECT_LT(gap, 1000);
}

TEST_F(SerialTest, TwoBurstsFurtherApartThanTheIntervalAreTwoReads) {
    SetTimeouts(port, 30, 0, 0);
    Overlapped o;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buf, sizeof buf, &n, &o.ov));
    pty.Write({1, 2, 3});
    ASSERT_TRUE(o.Wait());
    ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, FALSE));
    EXPECT_EQ(n, 3u);
    ASSERT_FALSE(ReadFile(port, buf, sizeof buf, &n, &o.ov));
    pty.Write({4, 5});
    ASSERT_TRUE(o.Wait());
    ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, FALSE));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(buf[0], 4);
}

TEST_F(SerialTest, ReadWithNoBytesEndsAfterItsTotalTimeoutWithCountZero) {
    SetTimeouts(port, 100, 0, 60);
    Overlapped o;
    DWORD n = 99;
    const auto start = Clock::now();
    ASSERT_FALSE(ReadFile(port, buf, sizeof buf, &n, &o.ov));
    ASSERT_TRUE(o.Wait());
    EXPECT_GE(MsSince(start), 55);
    ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, FALSE));
    EXPECT_EQ(n, 0u);
}

TEST_F(SerialTest, TotalTimeoutCountsTheBytesAsked) {
    SetTimeouts(port, 0, 10, 2);
    Overlapped o;
    DWORD n = 0;
    const auto start = Clock::now();
    ASSERT_FALSE(ReadFile(port, buf, 5, &n, &o.ov));
    ASSERT_TRUE(o.Wait());
    EXPECT_GE(MsSince(start), 50);
}

TEST_F(SerialTest, AllZeroTimeoutsWaitForTheFullCount) {
    SetTimeouts(port, 0, 0, 0);
    Overlapped o;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buf, 10, &n, &o.ov));
    pty.Write({1, 2, 3, 4});
    EXPECT_FALSE(o.Wait(150)) << "still waiting with 4 of 10 bytes";
    pty.Write({5, 6, 7, 8, 9, 10, 11});
    ASSERT_TRUE(o.Wait());
    ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, FALSE));
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(buf[9], 10);
}

TEST_F(SerialTest, MaxdwordIntervalReturnsAtOnce) {
    SetTimeouts(port, MAXDWORD, 0, 0);
    Overlapped o;
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(port, buf, sizeof buf, &n, &o.ov));
    EXPECT_EQ(n, 0u);
    pty.Write({7, 8});
    // Wait until the bytes are buffered, then read them at once.
    for (int i = 0; i < 1000 && n == 0; ++i) {
        ASSERT_TRUE(ReadFile(port, buf, sizeof buf, &n, &o.ov));
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(n, 2u);
}

TEST_F(SerialTest, WriteToAFullBufferEndsWithAShortCountAfterItsTimeout) {
    SetTimeouts(port, 0, 0, 0, 0, 100);
    std::vector<unsigned char> big(1 << 20, 0x55);
    Overlapped o;
    DWORD n = 0;
    const auto start = Clock::now();
    ASSERT_FALSE(WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &n, &o.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(o.Wait());
    EXPECT_GE(MsSince(start), 95);
    ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, FALSE));
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, big.size());
}

TEST_F(SerialTest, WriteCompletesAndThePeerReadsIt) {
    Overlapped o;
    DWORD n = 0;
    const unsigned char data[] = {0xAA, 1, 9};
    BOOL ok = WriteFile(port, data, 3, &n, &o.ov);
    if (!ok) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, TRUE));
    }
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(pty.Read(3), (std::vector<unsigned char>{0xAA, 1, 9}));
}

TEST_F(SerialTest, PurgeAbortsPendingReadAndWrite) {
    SetTimeouts(port, 0, 0, 0, 0, 0);
    Overlapped r, w;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buf, 100, &n, &r.ov));
    pty.Write({1, 2});
    std::vector<unsigned char> big(1 << 20, 1);
    ASSERT_FALSE(WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &n, &w.ov));
    // Wait for the two bytes to be taken by the read before aborting it.
    for (int i = 0; i < 5000; ++i) {
        COMSTAT st{};
        DWORD e;
        ClearCommError(port, &e, &st);
        if (st.cbInQue == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
    ASSERT_TRUE(r.Wait(0)) << "purge completes the read before it returns";
    EXPECT_FALSE(GetOverlappedResult(port, &r.ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 2u) << "a cancelled read keeps what it had copied";
    EXPECT_FALSE(w.Wait(0)) << "the write side is not touched";
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    ASSERT_TRUE(w.Wait(0));
    EXPECT_FALSE(GetOverlappedResult(port, &w.ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(SerialTest, CloseAbortsEverythingAndTheHandleGoes) {
    SetTimeouts(port, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(port, EV_ERR));
    Overlapped r, e;
    DWORD n = 0, mask = 0;
    ASSERT_FALSE(ReadFile(port, buf, 100, &n, &r.ov));
    ASSERT_FALSE(WaitCommEvent(port, &mask, &e.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(CloseHandle(port));
    const HANDLE closed = port;
    port = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(r.Wait(0));
    ASSERT_TRUE(e.Wait(0));
    EXPECT_EQ(r.ov.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(e.ov.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(ReadFile(closed, buf, 1, &n, &r.ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(PurgeComm(closed, PURGE_RXABORT));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SerialTest, CommMaskChangeEndsAPendingWaitWithNoEvents) {
    ASSERT_TRUE(SetCommMask(port, EV_ERR));
    Overlapped e;
    DWORD mask = 123;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &e.ov));
    EXPECT_FALSE(WaitCommEvent(port, &mask, &e.ov)) << "a second wait is refused";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetCommMask(port, EV_ERR));
    ASSERT_TRUE(e.Wait(0));
    DWORD n;
    EXPECT_TRUE(GetOverlappedResult(port, &e.ov, &n, FALSE));
    EXPECT_EQ(mask, 0u);
    ASSERT_TRUE(SetCommMask(port, 0));
    EXPECT_FALSE(WaitCommEvent(port, &mask, &e.ov)) << "no events selected";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SerialTest, MasterClosingUnderAPendingReadReportsTheVanishedDevice) {
    SetTimeouts(port, 100, 10, 2);
    ASSERT_TRUE(SetCommMask(port, EV_ERR));
    Overlapped r, e;
    DWORD n = 0, mask = 0;
    ASSERT_FALSE(ReadFile(port, buf, sizeof buf, &n, &r.ov));
    ASSERT_FALSE(WaitCommEvent(port, &mask, &e.ov));
    pty.ReleaseSlave();
    pty.CloseMaster();
    ASSERT_TRUE(r.Wait());
    ASSERT_TRUE(e.Wait());
    EXPECT_FALSE(GetOverlappedResult(port, &r.ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ReadFile(port, buf, sizeof buf, &n, &r.ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ClearCommError(port, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    // The I/O thread has stopped watching the dead descriptor: the process stays idle.
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    const double used = (cpu1.tv_sec - cpu0.tv_sec) + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e9;
    EXPECT_LT(used, 0.1);
}

class ScriptedTest : public ::testing::Test {
protected:
    void SetUp() override {
        device = std::make_shared<ScriptedDevice>();
        BindScriptedDevice("SCRIPTED1", device);
        port = Open("SCRIPTED1");
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(port);
        BindScriptedDevice("SCRIPTED1", nullptr);
    }
    std::shared_ptr<ScriptedDevice> device;
    HANDLE port = INVALID_HANDLE_VALUE;
    unsigned char buf[64]{};
};

TEST_F(ScriptedTest, LineErrorsCompleteTheEventWaitAndAreClearedOnce) {
    ASSERT_TRUE(SetCommMask(port, EV_ERR));
    Overlapped e;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &e.ov));
    device->RaiseLineErrors(CE_FRAME | CE_OVERRUN);
    ASSERT_TRUE(e.Wait());
    DWORD n;
    ASSERT_TRUE(GetOverlappedResult(port, &e.ov, &n, FALSE));
    EXPECT_EQ(mask, EV_ERR);
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, CE_FRAME | CE_OVERRUN);
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
}

TEST_F(ScriptedTest, EventWithNoWaitPendingCompletesTheNextWaitAtOnce) {
    ASSERT_TRUE(SetCommMask(port, EV_ERR));
    device->RaiseLineErrors(CE_RXPARITY);
    Overlapped e;
    DWORD mask = 0;
    ASSERT_TRUE(WaitCommEvent(port, &mask, &e.ov));
    EXPECT_EQ(mask, EV_ERR);
}

TEST_F(ScriptedTest, ChosenErrorCodesFromACallAndFromAPendingOperation) {
    SetTimeouts(port, 0, 0, 0);
    Overlapped o;
    DWORD n = 0;
    device->FailNextCall(ScriptedDevice::Op::Read, ERROR_GEN_FAILURE);
    EXPECT_FALSE(ReadFile(port, buf, 10, &n, &o.ov));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    ASSERT_FALSE(ReadFile(port, buf, 10, &n, &o.ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    device->FailPending(ScriptedDevice::Op::Read, ERROR_INVALID_HANDLE);
    ASSERT_TRUE(o.Wait());
    EXPECT_FALSE(GetOverlappedResult(port, &o.ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    device->FailNextCall(ScriptedDevice::Op::Write, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(WriteFile(port, buf, 3, &n, &o.ov));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(ScriptedTest, ShortWritesAcceptAtMostTheChunk) {
    device->SetWriteChunkLimit(10);
    Overlapped o;
    DWORD n = 0;
    unsigned char data[26] = {};
    BOOL ok = WriteFile(port, data, 26, &n, &o.ov);
    if (!ok) {
        ASSERT_TRUE(GetOverlappedResult(port, &o.ov, &n, TRUE));
    }
    EXPECT_EQ(n, 10u);
}

}  // namespace
