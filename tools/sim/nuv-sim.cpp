// nuv-sim: one or more simulated NUV devices on one bus behind a pseudo-terminal.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "NuvBus.h"

using namespace nuvsim;
using Clock = std::chrono::steady_clock;

namespace {

const char* kUsage = R"(Usage: nuv-sim [options]

Plays NUV devices on one bus behind a pseudo-terminal, so that the setup tool (or any
program) can talk to them through a serial port name.

Options:
  --link PATH          where to link the port (default: %s); the first line printed
                       is this path, to be used as the port name
  --device ADDR:TYPE   a device with bus address ADDR (0-254) and type TYPE (1-6);
                       repeat for several devices on one bus (default: 1:1)
  --apply-address MODE immediate | reset (default): when a written address takes
                       effect; reset = SIGHUP to this program, or restarting it
  --delay MS           turnaround before a reply (default: 5)
  --wire-speed         pace every byte as a 9600 8N1 line does (about 1.04 ms a byte)
  --fault KIND[:P]     apply a fault to every reply, or to a fraction P (0-1) of them;
                       repeatable, the first that strikes wins. KIND is one of:
                         silent         no reply
                         late           reply after 2000 ms
                         split          reply in two halves 150 ms apart
                         bad-checksum   checksum one too high
                         wrong-address  reply from the next address
                         short          25 bytes
                         garbage        random bytes instead of a reply
                         hangup         close the line, as a pulled USB adapter does
  --seed N             seed for fault fractions and garbage (default: from the clock)
  --quiet              do not log frames
  --help               this text

Replies: Test echoes the request; Read type answers bytes 3-5 = 1, 1, type; Write type
takes byte 5 (1-6) as the new type and echoes; Read address (to 255) answers with the
device's address in byte 1; Write address takes byte 3 (0-254) as the new address.
Byte 0 is 0xAA, byte 1 the device's address and byte 25 the checksum of every reply.
When several devices answer one broadcast their replies collide into an invalid frame.
Every frame received and sent is logged with a millisecond time stamp.
Ends on SIGINT, SIGTERM or a hangup fault, removing the link.
)";

std::string DefaultLink() {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/ttyNUV";
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char b[4];
    for (auto v : bytes) {
        std::snprintf(b, sizeof b, " %02X", v);
        out += b;
    }
    return out;
}

struct Options {
    std::string link = DefaultLink();
    std::vector<SimDevice> devices;
    bool applyAtOnce = false;
    int delayMs = 5;
    bool wireSpeed = false;
    std::vector<Fault> faults;
    std::uint32_t seed = static_cast<std::uint32_t>(Clock::now().time_since_epoch().count());
    bool quiet = false;
};

[[noreturn]] void UsageError(const std::string& what) {
    std::fprintf(stderr, "nuv-sim: %s (see --help)\n", what.c_str());
    std::exit(2);
}

int ToInt(const std::string& text, const char* what) {
    try {
        std::size_t used = 0;
        const int v = std::stoi(text, &used);
        if (used != text.size()) throw std::invalid_argument(text);
        return v;
    } catch (...) {
        UsageError(std::string("not a number for ") + what + ": " + text);
    }
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) UsageError(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::printf(kUsage, DefaultLink().c_str());
            std::exit(0);
        } else if (a == "--link") {
            o.link = value();
        } else if (a == "--device") {
            const std::string v = value();
            const auto colon = v.find(':');
            if (colon == std::string::npos) UsageError("--device takes ADDR:TYPE");
            SimDevice d{
                ToInt(v.substr(0, colon), "--device"), ToInt(v.substr(colon + 1), "--device"), {}};
            if (d.address < 0 || d.address > 254 || d.type < 1 || d.type > 6)
                UsageError("--device address 0-254, type 1-6");
            o.devices.push_back(d);
        } else if (a == "--apply-address") {
            const std::string v = value();
            if (v != "immediate" && v != "reset") UsageError("--apply-address immediate|reset");
            o.applyAtOnce = v == "immediate";
        } else if (a == "--delay") {
            o.delayMs = ToInt(value(), "--delay");
            if (o.delayMs < 0) UsageError("--delay must not be negative");
        } else if (a == "--wire-speed") {
            o.wireSpeed = true;
        } else if (a == "--fault") {
            const std::string v = value();
            const auto colon = v.find(':');
            const auto kind = ParseFaultKind(v.substr(0, colon));
            if (!kind) UsageError("unknown fault " + v.substr(0, colon));
            double p = 1.0;
            if (colon != std::string::npos) {
                try {
                    p = std::stod(v.substr(colon + 1));
                } catch (...) {
                    UsageError("bad fault fraction in " + v);
                }
                if (p < 0 || p > 1) UsageError("fault fraction must be 0 to 1");
            }
            o.faults.push_back({*kind, p});
        } else if (a == "--seed") {
            o.seed = static_cast<std::uint32_t>(ToInt(value(), "--seed"));
        } else if (a == "--quiet") {
            o.quiet = true;
        } else {
            UsageError("unknown option " + a);
        }
    }
    if (o.devices.empty()) o.devices.push_back({1, 1, {}});
    return o;
}

struct Pending {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    // Signals are taken through a descriptor from the start, so none is lost.
    const int sigfd = ::signalfd(-1, &signals, SFD_CLOEXEC);

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("nuv-sim: cannot open a pseudo-terminal");
        return 1;
    }
    char slaveName[128];
    ::ptsname_r(master, slaveName, sizeof slaveName);
    // Our own slave descriptor keeps the line up while the tool closes and reopens it.
    const int keep = ::open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    ::tcgetattr(keep, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B9600);
    ::tcsetattr(keep, TCSANOW, &t);
    ::unlink(options.link.c_str());
    if (::symlink(slaveName, options.link.c_str()) != 0) {
        std::fprintf(stderr, "nuv-sim: cannot make the link %s: %s\n", options.link.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", options.link.c_str());
    std::fflush(stdout);

    NuvBus bus(options.devices, options.applyAtOnce, options.delayMs, options.faults, options.seed);
    FrameParser parser;
    std::vector<Pending> pending;
    const auto start = Clock::now();
    auto log = [&](const char* what, const std::vector<std::uint8_t>& bytes,
                   const std::string& meaning) {
        if (options.quiet) return;
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::printf("[%10.3f] %s%s | %s\n", ms / 1000.0, what, Hex(bytes).c_str(), meaning.c_str());
    };
    if (!options.quiet) {
        for (const auto& d : options.devices)
            std::printf("device at address %d, type %d\n", d.address, d.type);
    }

    bool running = true;
    int exitCode = 0;
    while (running) {
        int timeout = -1;
        const auto now = Clock::now();
        if (!pending.empty()) {
            const auto next =
                std::min_element(pending.begin(), pending.end(), [](auto& a, auto& b) {
                    return a.due < b.due;
                })->due;
            timeout = next <= now
                          ? 0
                          : static_cast<int>(
                                std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {sigfd, POLLIN, 0}};
        ::poll(fds, 2, timeout);

        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(sigfd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGHUP) {
                    bus.Reset();
                    if (!options.quiet) {
                        std::printf("reset:");
                        for (const auto& d : bus.Devices())
                            std::printf(" device at address %d, type %d;", d.address, d.type);
                        std::printf("\n");
                    }
                } else {
                    running = false;
                }
            }
        }
        if (fds[0].revents & POLLIN) {
            std::uint8_t buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) {
                running = false;  // the line is gone
                exitCode = 1;
            } else {
                for (const DeviceFrame& request : parser.Feed(buf, static_cast<std::size_t>(n))) {
                    log("RX", {request.begin(), request.end()}, Describe(request));
                    Response r = bus.Handle(request);
                    if (r.hangup) {
                        if (!options.quiet) std::printf("fault hangup: closing the line\n");
                        running = false;
                        break;
                    }
                    if (r.repliers == 0 && !options.quiet) std::printf("no device answers\n");
                    if (r.fault && !options.quiet && r.repliers > 0)
                        std::printf("fault %s\n", FaultName(*r.fault));
                    const auto taken = Clock::now();
                    for (const Chunk& c : r.chunks) {
                        auto due = taken + std::chrono::milliseconds(c.delayMs);
                        if (options.wireSpeed) {
                            for (std::size_t i = 0; i < c.bytes.size(); ++i)
                                pending.push_back(
                                    {due + std::chrono::microseconds(1042 * static_cast<long>(i)),
                                     {c.bytes[i]}});
                        } else {
                            pending.push_back({due, c.bytes});
                        }
                    }
                    if (!r.chunks.empty()) {
                        std::vector<std::uint8_t> all;
                        for (const Chunk& c : r.chunks)
                            all.insert(all.end(), c.bytes.begin(), c.bytes.end());
                        log("TX", all,
                            r.repliers > 1
                                ? "collision of " + std::to_string(r.repliers) + " replies"
                                : "reply from " + std::to_string(all.size() > 1 ? all[1] : 0));
                    }
                }
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            running = false;
            exitCode = 1;
        }
        // Send what is due, oldest first.
        std::stable_sort(pending.begin(), pending.end(),
                         [](auto& a, auto& b) { return a.due < b.due; });
        while (!pending.empty() && pending.front().due <= Clock::now()) {
            const auto& p = pending.front();
            std::size_t done = 0;
            while (done < p.bytes.size()) {
                const ssize_t w = ::write(master, p.bytes.data() + done, p.bytes.size() - done);
                if (w <= 0) break;
                done += static_cast<std::size_t>(w);
            }
            pending.erase(pending.begin());
        }
    }
    ::close(keep);
    ::close(master);
    ::unlink(options.link.c_str());
    return exitCode;
}
