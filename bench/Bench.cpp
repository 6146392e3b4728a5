// Benchmarks of the serial stack, each figure taken beside a baseline in the same run.
// Prints one JSON object per figure: name, ours, baseline, ratio, unit.
//   nuv-bench latency | throughput | idle | restart | dialog

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Comm32.h"
#include "Win32.h"

using Clock = std::chrono::steady_clock;

namespace {

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void Emit(const std::string& name, double ours, double baseline, const std::string& unit,
          double ratio = -1) {
    if (ratio < 0) ratio = baseline > 0 ? ours / baseline : 0;
    std::printf("{\"name\":\"%s\",\"ours\":%.3f,\"baseline\":%.3f,\"ratio\":%.3f,\"unit\":\"%s\"}\n",
                name.c_str(), ours, baseline, ratio, unit.c_str());
    std::fflush(stdout);
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

// A pty pair; the master side is the peer.
struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master);
        ::unlockpt(master);
        char name[128];
        ::ptsname_r(master, name, sizeof name);
        slave = name;
        keep = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        ::tcgetattr(keep, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(keep, TCSANOW, &t);
    }
    ~Pty() {
        ::close(keep);
        ::close(master);
    }
    int keep = -1;
};

// Echoes every 26 bytes back as soon as they are complete, until told to stop.
class Echo {
public:
    explicit Echo(int fd) : fd_(fd), stop_(::eventfd(0, EFD_CLOEXEC)) {
        thread_ = std::thread([this] {
            std::vector<unsigned char> pending;
            unsigned char buf[256];
            for (;;) {
                pollfd p[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
                ::poll(p, 2, -1);
                if (p[1].revents) return;
                const ssize_t n = ::read(fd_, buf, sizeof buf);
                if (n <= 0) return;
                pending.insert(pending.end(), buf, buf + n);
                while (pending.size() >= 26) {
                    (void)!::write(fd_, pending.data(), 26);
                    pending.erase(pending.begin(), pending.begin() + 26);
                }
            }
        });
    }
    ~Echo() {
        std::uint64_t one = 1;
        (void)!::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(stop_);
    }

private:
    int fd_;
    int stop_;
    std::thread thread_;
};

int OpenRaw(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void Latency(int count) {
    unsigned char frame[26] = {0xAA, 1, 9};
    std::vector<double> ours, raw, peer;
    {
        Pty pty;
        Echo echo(pty.master);
        TComm32 comm;
        comm.SetCommPort(QString::fromStdString(pty.slave));
        comm.SetTimeouts(1, 10, 2, 10, 2);
        QEventLoop loop;
        std::size_t got = 0;
        comm.SetOnReceiveData([&](void*, std::uint16_t n) {
            got += n;
            if (got >= 26) loop.quit();
        });
        comm.SetOnRequestHangup([&](QObject*) { comm.RestartComm(); });
        comm.StartComm();
        for (int i = 0; i < count + 50; ++i) {
            got = 0;
            const auto t0 = Clock::now();
            comm.WriteCommData(frame, 26);
            if (got < 26) loop.exec();
            if (i >= 50) ours.push_back(Us(Clock::now() - t0));
        }
        comm.StopComm();
    }
    {
        Pty pty;
        Echo echo(pty.master);
        const int fd = OpenRaw(pty.slave);
        unsigned char buf[2048];
        for (int i = 0; i < count + 50; ++i) {
            const auto t0 = Clock::now();
            (void)!::write(fd, frame, 26);
            std::size_t got = 0;
            for (;;) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, got < 26 ? 1000 : 1) <= 0) break;  // quiet for 1 ms: done
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            if (i >= 50) raw.push_back(Us(Clock::now() - t0));
        }
        ::close(fd);
    }
    {
        Pty pty;
        Echo echo(pty.master);
        QSerialPort port;
        port.setPortName(QString::fromStdString(pty.slave));
        port.setBaudRate(9600);
        if (port.open(QIODevice::ReadWrite)) {
            for (int i = 0; i < count + 50; ++i) {
                const auto t0 = Clock::now();
                port.write(reinterpret_cast<const char*>(frame), 26);
                port.waitForBytesWritten(1000);
                qint64 got = 0;
                while (got < 26 && port.waitForReadyRead(1000)) got += port.readAll().size();
                while (port.waitForReadyRead(1)) got += port.readAll().size();  // 1 ms quiet
                if (i >= 50) peer.push_back(Us(Clock::now() - t0));
            }
        }
    }
    Emit("exchange latency median", Percentile(ours, 0.5), Percentile(raw, 0.5), "us");
    Emit("exchange latency p99", Percentile(ours, 0.99), Percentile(raw, 0.99), "us");
    if (!peer.empty()) {
        Emit("exchange latency median vs QSerialPort", Percentile(ours, 0.5),
             Percentile(peer, 0.5), "us");
        Emit("exchange latency p99 vs QSerialPort", Percentile(ours, 0.99),
             Percentile(peer, 0.99), "us");
    }
}

// The stream's bytes repeat every 251 (a prime, so no read size lines up with it); a
// table lets a whole block be checked with one memcmp.
unsigned char PatternByte(std::size_t i) { return static_cast<unsigned char>((i % 251) * 7); }

const std::vector<unsigned char>& PatternTable() {
    static const std::vector<unsigned char> table = [] {
        std::vector<unsigned char> t(251 + 65536);
        for (std::size_t i = 0; i < t.size(); ++i) t[i] = PatternByte(i);
        return t;
    }();
    return table;
}

bool InPattern(const unsigned char* bytes, std::size_t n, std::size_t offset) {
    return std::memcmp(bytes, PatternTable().data() + offset % 251, n) == 0;
}

// Writes `total` bytes of the pattern to fd as fast as the pty takes them.
std::thread Feeder(int fd, std::size_t total) {
    return std::thread([fd, total] {
        std::vector<unsigned char> chunk(65536);
        std::size_t sent = 0;
        while (sent < total) {
            const std::size_t n = std::min(chunk.size(), total - sent);
            std::memcpy(chunk.data(), PatternTable().data() + sent % 251, n);
            std::size_t done = 0;
            while (done < n) {
                const ssize_t w = ::write(fd, chunk.data() + done, n - done);
                if (w <= 0) return;
                done += static_cast<std::size_t>(w);
            }
            sent += n;
        }
    });
}

void Throughput(std::size_t total) {
    double oursMiBs = 0, rawMiBs = 0;
    bool oursInOrder = true, rawInOrder = true;
    {
        Pty pty;
        TComm32 comm;
        comm.SetCommPort(QString::fromStdString(pty.slave));
        comm.SetTimeouts(100, 10, 2, 10, 2);
        QEventLoop loop;
        std::size_t got = 0;
        comm.SetOnReceiveData([&](void* b, std::uint16_t n) {
            if (!InPattern(static_cast<unsigned char*>(b), n, got)) oursInOrder = false;
            got += n;
            if (got >= total) loop.quit();
        });
        comm.SetOnRequestHangup([&](QObject*) { comm.RestartComm(); });
        comm.StartComm();
        const auto t0 = Clock::now();
        std::thread feeder = Feeder(pty.master, total);
        QTimer watchdog;  // a stalled stream ends the run (and shows as bytes lost)
        std::size_t seen = 0;
        QObject::connect(&watchdog, &QTimer::timeout, [&] {
            if (got == seen) {
                oursInOrder = false;
                loop.quit();
            }
            seen = got;
        });
        watchdog.start(5000);
        loop.exec();
        oursMiBs = total / 1048576.0 / std::chrono::duration<double>(Clock::now() - t0).count();
        comm.StopComm();
        ::close(pty.master);
        pty.master = -1;
        feeder.join();
    }
    {
        Pty pty;
        const int fd = OpenRaw(pty.slave);
        const auto t0 = Clock::now();
        std::thread feeder = Feeder(pty.master, total);
        std::vector<unsigned char> buf(2048);
        std::size_t got = 0;
        while (got < total) {
            const ssize_t n = ::read(fd, buf.data(), buf.size());
            if (n <= 0) break;
            if (!InPattern(buf.data(), static_cast<std::size_t>(n), got)) rawInOrder = false;
            got += static_cast<std::size_t>(n);
        }
        rawMiBs = total / 1048576.0 / std::chrono::duration<double>(Clock::now() - t0).count();
        feeder.join();
        ::close(fd);
    }
    if (!oursInOrder || !rawInOrder) std::fprintf(stderr, "throughput: bytes out of order!\n");
    Emit(oursInOrder ? "throughput (32 MiB, every byte in order)" : "throughput (BYTES LOST)",
         oursMiBs, rawMiBs, "MiB/s");
}

long ContextSwitches() {
    long total = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
            std::string line;
            while (std::getline(status, line))
                if (line.find("ctxt_switches:") != std::string::npos)
                    total += std::stol(line.substr(line.find(':') + 1));
        }
        ::closedir(d);
    }
    return total;
}

void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void Idle(int seconds) {
    double ours = 0, raw = 0;
    {
        Pty pty;
        TComm32 comm;
        comm.SetCommPort(QString::fromStdString(pty.slave));
        comm.SetTimeouts(100, 10, 2, 10, 2);
        comm.SetOnRequestHangup([&](QObject*) { comm.RestartComm(); });
        comm.StartComm();
        RunFor(300);  // the workers reach their waits
        const long before = ContextSwitches();
        RunFor(seconds * 1000);
        ours = (ContextSwitches() - before) / static_cast<double>(seconds);
        comm.StopComm();
    }
    {
        Pty pty;
        const int fd = OpenRaw(pty.slave);
        const long before = ContextSwitches();
        std::thread blocked([fd, seconds] {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, seconds * 1000);
        });
        blocked.join();
        raw = (ContextSwitches() - before) / static_cast<double>(seconds);
        ::close(fd);
    }
    // A raw program blocked in poll switches about never: compare against one a second.
    Emit("idle context switches", ours, raw, "per s", ours / std::max(raw, 1.0));
}

// Two raw workers blocked in poll, stopped through an eventfd: the least a stop can cost.
struct RawWorkers {
    int stop = ::eventfd(0, EFD_CLOEXEC);
    std::thread a, b;
    explicit RawWorkers(int fd) {
        auto body = [this, fd] {
            pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
            ::poll(p, 2, -1);
        };
        a = std::thread(body);
        b = std::thread(body);
    }
    void Stop() {
        std::uint64_t one = 1;
        (void)!::write(stop, &one, sizeof one);
        a.join();
        b.join();
        ::close(stop);
    }
};

void Restart(int cycles) {
    std::vector<double> stopUs, restartUs, rawStopUs, rawRestartUs;
    {
        Pty pty;
        TComm32 comm;
        comm.SetCommPort(QString::fromStdString(pty.slave));
        comm.SetTimeouts(100, 10, 2, 10, 2);
        for (int i = 0; i < cycles; ++i) {
            comm.StartComm();
            RunFor(2);  // idle workers
            auto t0 = Clock::now();
            comm.RestartComm();
            restartUs.push_back(Us(Clock::now() - t0));
            RunFor(2);
            t0 = Clock::now();
            comm.StopComm();
            stopUs.push_back(Us(Clock::now() - t0));
        }
    }
    {
        Pty pty;
        for (int i = 0; i < cycles; ++i) {
            int fd = OpenRaw(pty.slave);
            auto* workers = new RawWorkers(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            auto t0 = Clock::now();
            workers->Stop();
            delete workers;
            workers = new RawWorkers(fd);
            rawRestartUs.push_back(Us(Clock::now() - t0));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            t0 = Clock::now();
            workers->Stop();
            delete workers;
            ::close(fd);
            rawStopUs.push_back(Us(Clock::now() - t0));
        }
    }
    Emit("StopComm median", Percentile(stopUs, 0.5), Percentile(rawStopUs, 0.5), "us");
    Emit("RestartComm median", Percentile(restartUs, 0.5), Percentile(rawRestartUs, 0.5), "us");
}

// Starts a program that prints "shown <peak RSS kB>" once its window is up.
std::pair<double, double> StartProgram(const std::string& path, const std::string& mode) {
    int out[2];
    (void)!::pipe(out);
    const auto t0 = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execl(path.c_str(), path.c_str(), mode.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    char buf[256] = {};
    std::string text;
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf - 1)) > 0) {
        text.append(buf, static_cast<std::size_t>(n));
        if (text.find('\n') != std::string::npos) break;
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    int status;
    ::waitpid(child, &status, 0);
    ::close(out[0]);
    double kb = 0;
    std::sscanf(text.c_str(), "shown %lf", &kb);
    return {ms, kb};
}

void Dialog(const std::string& starter, int runs) {
    std::vector<double> formMs, formKb, emptyMs, emptyKb;
    for (int i = 0; i < runs; ++i) {
        auto [ms, kb] = StartProgram(starter, "form");
        formMs.push_back(ms);
        formKb.push_back(kb);
        auto [ems, ekb] = StartProgram(starter, "empty");
        emptyMs.push_back(ems);
        emptyKb.push_back(ekb);
    }
    Emit("dialog start to window shown", Percentile(formMs, 0.5), Percentile(emptyMs, 0.5), "ms");
    Emit("dialog peak resident memory", Percentile(formKb, 0.5) / 1024,
         Percentile(emptyKb, 0.5) / 1024, "MiB");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "latency") Latency(argc > 2 ? std::atoi(argv[2]) : 2000);
    else if (what == "throughput") Throughput(32u << 20);
    else if (what == "idle") Idle(argc > 2 ? std::atoi(argv[2]) : 10);
    else if (what == "restart") Restart(200);
    else if (what == "dialog" && argc > 2) Dialog(argv[2], 5);
    else {
        std::fprintf(stderr, "usage: nuv-bench latency|throughput|idle|restart|dialog STARTER\n");
        return 2;
    }
    return 0;
}
