// Long-running and failure tests of the serial link: soak, pulled adapters, bad input,
// exclusive access.

#include <gtest/gtest.h>

#include <dirent.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "Comm32.h"
#include "DeviceFrame.h"
#include "EventLoop.h"
#include "Pty.h"
#include "SimProcess.h"
#include "Win32.h"

using namespace w32;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// Leak and thread checks around each test.
class Reliability : public ::testing::Test {
protected:
    void SetUp() override {
        blocks = OutstandingLocalBlocks();
        handles = OpenHandleCount();
    }
    void TearDown() override {
        PumpUntil([] { return false; }, 50);
        EXPECT_EQ(OutstandingLocalBlocks(), blocks) << "heap blocks outstanding";
        EXPECT_EQ(OpenHandleCount(), handles) << "handles left open";
    }
    long blocks = 0;
    std::size_t handles = 0;
};

// A Test request whose payload carries a sequence number that the device echoes.
DeviceFrame Numbered(std::uint32_t seq) {
    DeviceFrame f{};
    f[0] = kFrameHeader;
    f[1] = 1;
    f[2] = CmdTest;
    f[6] = static_cast<std::uint8_t>(seq >> 24);
    f[7] = static_cast<std::uint8_t>(seq >> 16);
    f[8] = static_cast<std::uint8_t>(seq >> 8);
    f[9] = static_cast<std::uint8_t>(seq);
    f[25] = CheckSum(f);
    return f;
}

std::uint32_t SeqOf(const std::uint8_t* f) {
    return (std::uint32_t(f[6]) << 24) | (std::uint32_t(f[7]) << 16) | (std::uint32_t(f[8]) << 8) |
           f[9];
}

std::vector<std::uint8_t> FromHex(const std::string& text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

TEST_F(Reliability, SoakWithRandomFaultsAndRestarts) {
    // Short by default; NUV_SOAK_EXCHANGES asks for the long form.
    const char* wanted = std::getenv("NUV_SOAK_EXCHANGES");
    const int exchanges = wanted ? std::atoi(wanted) : 0;
    const auto budget = std::chrono::seconds(wanted ? 3600 : 25);
    const int threadsBefore = ThreadCount();

    SimProcess sim({"--delay", "1", "--seed", "1234", "--fault", "silent:0.04", "--fault",
                    "split:0.03", "--fault", "bad-checksum:0.03", "--fault", "wrong-address:0.03",
                    "--fault", "short:0.03", "--fault", "garbage:0.03"});
    std::map<std::uint32_t, int> accepted;
    int restarts = 0, hangups = 0, sent = 0;
    {
        TComm32 comm;
        comm.SetCommPort(QString::fromStdString(sim.Link()));
        comm.SetTimeouts(20, 10, 2, 10, 2);
        std::optional<DeviceFrame> pending;
        bool answered = false;
        comm.SetOnReceiveData([&](void* buffer, std::uint16_t length) {
            DeviceFrame rx{};
            auto* b = static_cast<std::uint8_t*>(buffer);
            if (pending && AcceptReply(b, length, *pending, rx) && SeqOf(rx.data()) == SeqOf(pending->data())) {
                ++accepted[SeqOf(rx.data())];
                answered = true;
            }
        });
        comm.SetOnRequestHangup([&](QObject*) {
            ++hangups;
            comm.RestartComm();
        });
        ASSERT_TRUE(comm.StartComm());
        std::mt19937 random(99);
        const auto start = Clock::now();
        for (std::uint32_t seq = 1;; ++seq) {
            if (exchanges ? sent >= exchanges : Clock::now() - start > budget) break;
            pending = Numbered(seq);
            answered = false;
            comm.WriteCommData(pending->data(), kFrameSize);
            ++sent;
            PumpUntil([&] { return answered; }, 250);
            // Let a split reply's second half arrive before the next request.
            if (!answered) PumpUntil([] { return false; }, 60);
            if (random() % 10 == 0) {
                comm.RestartComm();
                ++restarts;
            }
        }
        pending.reset();
        comm.StopComm();
    }
    sim.Stop();
    // What the simulator sent whole and on time: requests with no fault.
    std::set<std::uint32_t> clean;
    std::map<std::string, int> faults;
    bool haveLast = false;  // the request just read, while no fault line follows it
    std::uint32_t last = 0;
    for (std::string line = sim.ReadLine(2000); !line.empty(); line = sim.ReadLine(500)) {
        const auto rx = line.find("] RX ");
        if (rx != std::string::npos) {
            if (haveLast) clean.insert(last);
            last = SeqOf(FromHex(line.substr(rx + 5, line.find(" |") - rx - 5)).data());
            haveLast = true;
        } else if (line.rfind("fault ", 0) == 0) {
            ++faults[line.substr(6)];
            haveLast = false;
        }
    }
    if (haveLast) clean.insert(last);
    int faultCount = 0;
    for (auto& [kind, n] : faults) faultCount += n;
    std::printf("soak: %d exchanges, %d faults injected, %d restarts, %d restart requests, "
                "%zu replies accepted, %ld blocks outstanding\n",
                sent, faultCount, restarts, hangups, accepted.size(),
                OutstandingLocalBlocks() - blocks);
    EXPECT_GT(sent, 100);
    EXPECT_GT(faultCount, 0);
    std::set<std::uint32_t> acceptedSeqs;
    for (auto& [seq, n] : accepted) {
        EXPECT_EQ(n, 1) << "reply " << seq << " accepted once";
        acceptedSeqs.insert(seq);
    }
    EXPECT_EQ(acceptedSeqs, clean) << "every clean reply accepted, and nothing else";
    EXPECT_EQ(ThreadCount(), threadsBefore) << "no worker thread left";
}

TEST_F(Reliability, PulledAdapterDuringUseGoesQuietAndReopens) {
    const std::string link = "/tmp/nuv-pulled-" + std::to_string(getpid());
    int hangups = 0;
    std::vector<std::vector<std::uint8_t>> got;
    {
        TComm32 comm;
        comm.SetTimeouts(100, 10, 2, 10, 2);
        comm.SetOnRequestHangup([&](QObject*) {
            ++hangups;
            comm.RestartComm();
        });
        comm.SetOnReceiveData([&](void* b, std::uint16_t n) {
            got.emplace_back(static_cast<std::uint8_t*>(b), static_cast<std::uint8_t*>(b) + n);
        });
        {
            SimProcess sim({"--fault", "hangup", "--quiet"});
            comm.SetCommPort(QString::fromStdString(sim.Link()));
            ASSERT_TRUE(comm.StartComm());
            const DeviceFrame f = Numbered(1);
            comm.WriteCommData(f.data(), kFrameSize);
            sim.Wait();  // the simulator hangs the line up and ends
        }
        ASSERT_TRUE(PumpUntil([&] { return hangups > 0 && comm.ReadThread() == nullptr; }));
        PumpUntil([] { return false; }, 300);
        const int settled = hangups;
        const double cpu = CpuSeconds();
        RunEventLoopFor(2000);
        EXPECT_LT(CpuSeconds() - cpu, 0.1) << "under 5 % of one core over 2 s";
        EXPECT_EQ(hangups, settled);

        SimProcess back({"--delay", "1", "--quiet"});
        comm.StopComm();
        comm.SetCommPort(QString::fromStdString(back.Link()));
        ASSERT_TRUE(comm.StartComm());
        const DeviceFrame f = Numbered(2);
        comm.WriteCommData(f.data(), kFrameSize);
        EXPECT_TRUE(PumpUntil([&] { return !got.empty(); }));
        comm.StopComm();
    }
}

TEST_F(Reliability, DeviceVanishingDuringAPendingWrite) {
    int hangups = 0;
    {
        PtyPair pty;
        TComm32 comm;
        comm.SetCommPort(QString::fromStdString(pty.SlavePath()));
        comm.SetTimeouts(100, 10, 2, 0, 0);  // no write time-out: a full line keeps it pending
        comm.SetOnRequestHangup([&](QObject*) {
            ++hangups;
            comm.RestartComm();
        });
        ASSERT_TRUE(comm.StartComm());
        std::vector<std::uint8_t> big(60000, 0x55);
        comm.WriteCommData(big.data(), static_cast<std::uint16_t>(big.size()));
        ASSERT_TRUE(PumpUntil(
            [&] { return PendingOperations(comm.CommHandle()) & PENDING_WRITE; }));
        pty.ReleaseSlave();
        pty.CloseMaster();
        ASSERT_TRUE(PumpUntil([&] { return hangups > 0 && comm.WriteThread() == nullptr; }));
        const double cpu = CpuSeconds();
        RunEventLoopFor(1000);
        EXPECT_LT(CpuSeconds() - cpu, 0.05);
        comm.StopComm();
    }
}

TEST_F(Reliability, TenSecondsOfRandomBytesAcceptNothingAndAValidReplyStillPasses) {
    PtyPair pty;
    int accepted = 0, blocksSeen = 0;
    DeviceFrame request = Numbered(7);
    {
        TComm32 comm;
        comm.SetCommPort(QString::fromStdString(pty.SlavePath()));
        comm.SetTimeouts(100, 10, 2, 10, 2);
        comm.SetOnReceiveData([&](void* b, std::uint16_t n) {
            ++blocksSeen;
            DeviceFrame rx{};
            if (AcceptReply(static_cast<std::uint8_t*>(b), n, request, rx)) ++accepted;
        });
        comm.SetOnRequestHangup([&](QObject*) { comm.RestartComm(); });
        ASSERT_TRUE(comm.StartComm());
        std::atomic<bool> stop{false};
        std::thread noise([&] {
            std::mt19937 random(5);
            std::vector<std::uint8_t> chunk(4096);
            while (!stop) {
                for (auto& b : chunk) b = static_cast<std::uint8_t>(random());
                pollfd p{pty.Master(), POLLOUT, 0};
                if (poll(&p, 1, 50) > 0) (void)!write(pty.Master(), chunk.data(), chunk.size());
            }
        });
        PumpUntil([] { return false; }, 10000);
        stop = true;
        noise.join();
        // Let the line go quiet, then a valid reply.
        PumpUntil([] { return false; }, 300);
        const int before = accepted;
        EXPECT_EQ(before, 0) << "no invalid frame accepted";
        DeviceFrame reply = request;
        pty.Write({reply.begin(), reply.end()});
        EXPECT_TRUE(PumpUntil([&] { return accepted == before + 1; }));
        comm.StopComm();
    }
    EXPECT_GT(blocksSeen, 100);
}

TEST_F(Reliability, SecondOpenOfAPortInUseFailsAndTheFirstKeepsWorking) {
    SimProcess sim({"--delay", "1", "--quiet"});
    std::vector<std::vector<std::uint8_t>> got;
    {
        TComm32 first, second;
        first.SetCommPort(QString::fromStdString(sim.Link()));
        second.SetCommPort(QString::fromStdString(sim.Link()));
        first.SetOnReceiveData([&](void* b, std::uint16_t n) {
            got.emplace_back(static_cast<std::uint8_t*>(b), static_cast<std::uint8_t*>(b) + n);
        });
        ASSERT_TRUE(first.StartComm());
        try {
            second.StartComm();
            ADD_FAILURE() << "the second open succeeded";
        } catch (const ECommsError& e) {
            EXPECT_STREQ(e.what(), "打开串口出错!");
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        }
        second.StopComm();
        // Another process is refused too.
        const pid_t child = fork();
        if (child == 0) {
            const HANDLE h = CreateFileA(sim.Link().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
            _exit(h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        const DeviceFrame f = Numbered(3);
        first.WriteCommData(f.data(), kFrameSize);
        EXPECT_TRUE(PumpUntil([&] { return !got.empty(); }));
        first.StopComm();
    }
}

}  // namespace
