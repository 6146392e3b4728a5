// nuvctl: the setup tool's operations, and a bus scan, from the command line.

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "Comm32.h"
#include "CommsLog.h"
#include "DeviceFrame.h"
#include "Win32.h"

namespace {

enum Exit { kOk = 0, kNoReply = 1, kUsageError = 2, kPortFailed = 3, kDeviceFailed = 4 };

const char* kUsage = R"USAGE(Usage: nuvctl [--port NAME] [--address A] [--timeout MS] [--trace FILE] [--json] COMMAND

Commands:
  test                      is the device there?
  read-type                 read the device's type
  write-type TYPE           write the type: a code 1-6 or a name such as "10Points(Analog In)"
  read-address              ask the bus for the address (sent to 255; one device on the bus)
  write-address NEW [--verify [--verify-timeout MS]]
                            write a new address (0-254); the device takes it after a reset.
                            --verify then waits for the device to answer at NEW
  scan [--from A] [--to B]  test every address in the range (default 0 to 254; never 255)
                            and list those that answered, with their types
  ports                     the serial ports of this machine

Options:
  --port NAME     COMn, a device name (ttyUSB0), or a path (default COM1)
  --address A     the device's bus address, 0-254 (default 1)
  --timeout MS    how long to wait for a reply (default 1500; for scan 150 per address)
  --trace FILE    write the serial link's trace log to FILE
  --json          one JSON object per result

Exit codes:
  0  success
  1  no acceptable reply in time (nothing came, only part of a frame, a bad checksum,
     or a frame from another address)
  2  usage error
  3  the port cannot be opened (missing, in use, or not permitted)
  4  the device answered with a failure (Read type)
)USAGE";

struct Options {
    std::string port = "COM1";
    int address = 1;
    std::optional<int> timeoutMs;
    std::string trace;
    bool json = false;
    std::string command;
    std::vector<std::string> args;
    bool verify = false;
    int verifyTimeoutMs = 60000;
    int from = 0;
    int to = 254;
};

[[noreturn]] void Usage(const std::string& message) {
    std::fprintf(stderr, "nuvctl: %s\nRun nuvctl --help for the commands and options.\n",
                 message.c_str());
    std::exit(kUsageError);
}

int ToInt(const std::string& text, const std::string& what, int lo, int hi) {
    try {
        std::size_t used = 0;
        const long v = std::stol(text, &used, 0);
        if (used == text.size() && v >= lo && v <= hi) return static_cast<int>(v);
    } catch (...) {
    }
    Usage(what + " must be a whole number from " + std::to_string(lo) + " to " +
          std::to_string(hi) + ", not \"" + text + "\"");
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(kOk);
        } else if (a == "--port") {
            o.port = value();
        } else if (a == "--address") {
            o.address = ToInt(value(), "--address", 0, 254);
        } else if (a == "--timeout") {
            o.timeoutMs = ToInt(value(), "--timeout", 1, 3600000);
        } else if (a == "--trace") {
            o.trace = value();
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--verify") {
            o.verify = true;
        } else if (a == "--verify-timeout") {
            o.verifyTimeoutMs = ToInt(value(), "--verify-timeout", 1, 3600000);
        } else if (a == "--from") {
            o.from = ToInt(value(), "--from", 0, 254);
        } else if (a == "--to") {
            o.to = ToInt(value(), "--to", 0, 254);
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            Usage("unknown option " + a);
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            o.args.push_back(a);
        }
    }
    static const char* commands[] = {"test",          "read-type", "write-type", "read-address",
                                     "write-address", "scan",      "ports"};
    bool known = false;
    for (const char* c : commands) known = known || o.command == c;
    if (o.command.empty()) Usage("no command given");
    if (!known) Usage("unknown command " + o.command);
    const std::size_t wanted = (o.command == "write-type" || o.command == "write-address") ? 1 : 0;
    if (o.args.size() != wanted)
        Usage(o.command + (wanted ? " takes one argument" : " takes no argument"));
    if (o.from > o.to) Usage("--from must not be above --to");
    return o;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char b[4];
    for (auto v : bytes) {
        std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", v);
        out += b;
    }
    return out;
}

// One request and what came back.
struct Exchange {
    DeviceFrame sent{};
    std::optional<DeviceFrame> reply;
    std::vector<std::vector<std::uint8_t>> blocks;  // everything received while waiting
    long elapsedMs = 0;

    // Why no reply was accepted, in words.
    std::string Failure() const {
        if (blocks.empty()) return "no reply: nothing came back";
        bool whole = false, badSum = false, otherAddress = false;
        for (const auto& b : blocks) {
            if (b.size() != kFrameSize || b[0] != kFrameHeader) continue;
            whole = true;
            DeviceFrame f;
            std::copy(b.begin(), b.end(), f.begin());
            if (f[25] != CheckSum(f)) badSum = true;
            else if (f[1] != sent[1]) otherAddress = true;
        }
        if (badSum) return "no valid reply: a frame came with a bad checksum";
        if (otherAddress) return "no valid reply: a frame came from another address";
        if (!whole) return "no valid reply: only part of a frame came (or bytes that are no frame)";
        return "no valid reply";
    }
};

class Link {
public:
    Link(const Options& o, int intervalMs) : comm_(nullptr) {
        comm_.SetCommPort(QString::fromStdString(o.port));
        comm_.SetBaudRate(9600);
        comm_.SetTimeouts(static_cast<w32::DWORD>(intervalMs), 10, 2, 10, 2);
        if (!o.trace.empty()) comm_.SetCommsLogFileName(QString::fromStdString(o.trace));
        comm_.SetOnReceiveData([this](void* buffer, std::uint16_t length) {
            auto* b = static_cast<std::uint8_t*>(buffer);
            if (!current_) return;
            current_->blocks.emplace_back(b, b + length);
            DeviceFrame rx{};
            if (AcceptReply(b, length, current_->sent, rx)) {
                current_->reply = rx;
                loop_.quit();
            }
        });
        comm_.SetOnRequestHangup([this](QObject*) { comm_.RestartComm(); });
    }
    ~Link() {
        try {
            comm_.StopComm();
        } catch (...) {
        }
    }
    TComm32& Comm() { return comm_; }

    Exchange Run(const DeviceFrame& frame, int timeoutMs) {
        Exchange x;
        x.sent = frame;
        current_ = &x;
        const auto start = std::chrono::steady_clock::now();
        comm_.WriteCommData(frame.data(), kFrameSize);
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop_, &QEventLoop::quit);
        timer.start(timeoutMs);
        loop_.exec();
        // Whatever comes after the answer belongs to nobody.
        current_ = nullptr;
        x.elapsedMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());
        return x;
    }

private:
    TComm32 comm_;
    QEventLoop loop_;
    Exchange* current_ = nullptr;
};

std::string GroupOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
    return std::to_string(st.st_gid);
}

int ReportOpenFailure(const Options& o, w32::DWORD error) {
    const std::string path = w32::PortPath(o.port);
    std::string message = "nuvctl: cannot open " + o.port + " (" + path + "): ";
    if (error == w32::ERROR_FILE_NOT_FOUND || error == w32::ERROR_PATH_NOT_FOUND) {
        message += "no such port.";
        const auto ports = w32::EnumerateSerialPorts();
        if (ports.empty()) {
            message += " This machine shows no serial ports; is the adapter plugged in?";
        } else {
            message += " Ports here:";
            for (const auto& p : ports) message += " " + (p.byId.empty() ? p.device : p.byId);
        }
    } else if (error == w32::ERROR_SHARING_VIOLATION) {
        message += "the port is in use by another program; close it there and try again.";
    } else if (error == w32::ERROR_ACCESS_DENIED) {
        const std::string group = GroupOf(path);
        message += "permission denied. Add your user to the group that owns the device" +
                   (group.empty() ? std::string(" (usually dialout)") : " (" + group + ")") +
                   " and log in again, e.g. sudo usermod -aG " +
                   (group.empty() ? std::string("dialout") : group) + " $USER.";
    } else {
        char* text = nullptr;
        w32::FormatMessageA(w32::FORMAT_MESSAGE_FROM_SYSTEM | w32::FORMAT_MESSAGE_ALLOCATE_BUFFER,
                            nullptr, error, 0, reinterpret_cast<char*>(&text), 1, nullptr);
        std::string t = text ? text : "error " + std::to_string(error);
        if (text) w32::LocalFree(text);
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
        message += t;
    }
    std::fprintf(stderr, "%s\n", message.c_str());
    return kPortFailed;
}

struct Result {
    std::string operation;
    int address;
    Exchange x;
    std::string outcome;
    std::string valueJson = "null";  // the value to display, as JSON
    std::string valueText;           // and as a line of text
    int exitCode = kOk;
};

void Print(const Options& o, const Result& r) {
    if (o.json) {
        std::string received = "null";
        if (r.x.reply)
            received = JsonString(Hex({r.x.reply->begin(), r.x.reply->end()}));
        else if (!r.x.blocks.empty()) {
            std::vector<std::uint8_t> all;
            for (const auto& b : r.x.blocks) all.insert(all.end(), b.begin(), b.end());
            received = JsonString(Hex(all));
        }
        std::printf(
            "{\"operation\":%s,\"address\":%d,\"sent\":%s,\"received\":%s,\"ok\":%s,"
            "\"outcome\":%s,\"value\":%s,\"elapsed_ms\":%ld}\n",
            JsonString(r.operation).c_str(), r.address,
            JsonString(Hex({r.x.sent.begin(), r.x.sent.end()})).c_str(), received.c_str(),
            r.exitCode == kOk ? "true" : "false", JsonString(r.outcome).c_str(),
            r.valueJson.c_str(), r.x.elapsedMs);
        return;
    }
    std::printf("%s\n", r.outcome.c_str());
    if (!r.valueText.empty()) std::printf("%s\n", r.valueText.c_str());
}

Result Judge(const std::string& operation, int address, const Exchange& x) {
    Result r{operation, address, x, {}, "null", {}, kOk};
    if (!x.reply) {
        r.outcome = x.Failure();
        r.exitCode = kNoReply;
        return r;
    }
    const ReplyOutcome out = OutcomeFor(x.sent[2], *x.reply);
    r.outcome = out.text.value_or("");
    if (x.sent[2] == CmdReadType) {
        r.valueText = "Type: " + *out.typeText;
        r.valueJson = out.failed ? "null"
                                 : "{\"code\":" + std::to_string((*x.reply)[5]) +
                                       ",\"name\":" + JsonString(*out.typeText) + "}";
        if (out.failed) r.exitCode = kDeviceFailed;
    }
    if (out.address) {
        r.valueText = "Address: " + std::to_string(*out.address);
        r.valueJson = std::to_string(*out.address);
    }
    return r;
}

int TypeCode(const std::string& text) {
    for (int code = 1; code <= kTypeCount; ++code)
        if (text == TypeListEntries()[code - 1]) return code;
    return ToInt(text, "the type", 1, kTypeCount);
}

int Scan(const Options& o, Link& link) {
    const int timeout = o.timeoutMs.value_or(150);
    const bool progress = !o.json && ::isatty(2);
    std::vector<Result> found;
    for (int a = o.from; a <= o.to; ++a) {
        if (progress) std::fprintf(stderr, "\rscanning address %3d (%d to %d)", a, o.from, o.to);
        DeviceFrame f{};
        FillRequest(f, NuvOperation::ReadType, {a, 0, -1});
        const Exchange x = link.Run(f, timeout);
        if (!x.reply) continue;
        Result r = Judge("scan", a, x);
        if (o.json)
            Print(o, r);
        found.push_back(r);
    }
    if (progress) std::fprintf(stderr, "\r%40s\r", "");
    if (!o.json) {
        if (found.empty())
            std::printf("No device answered at addresses %d to %d.\n", o.from, o.to);
        for (const auto& r : found)
            std::printf("Address %d: %s\n", r.address, r.valueText.substr(6).c_str());
    }
    return found.empty() ? kNoReply : kOk;
}

int RunCommand(const Options& o, Link& link) {
    const int timeout = o.timeoutMs.value_or(1500);
    if (o.command == "scan") return Scan(o, link);
    DeviceFrame f{};
    NuvOperation op = NuvOperation::Test;
    RequestInputs in{o.address, 0, -1};
    if (o.command == "read-type") op = NuvOperation::ReadType;
    if (o.command == "read-address") op = NuvOperation::ReadAddress;
    if (o.command == "write-type") {
        op = NuvOperation::WriteType;
        in.typeIndex = TypeCode(o.args[0]) - 1;
    }
    if (o.command == "write-address") {
        op = NuvOperation::WriteAddress;
        in.newAddress = ToInt(o.args[0], "the new address", 0, 254);
    }
    FillRequest(f, op, in);
    const Result r = Judge(o.command, op == NuvOperation::ReadAddress ? 255 : o.address,
                           link.Run(f, timeout));
    Print(o, r);
    if (r.exitCode != kOk || !(o.command == "write-address" && o.verify)) return r.exitCode;

    // Ask the device at its new address until it answers after the technician's reset.
    const int target = in.newAddress;
    if (!o.json)
        std::printf("Reset the device now (power it off and on); waiting for it at address %d...\n",
                    target);
    std::fflush(stdout);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(o.verifyTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        DeviceFrame t{};
        FillRequest(t, NuvOperation::Test, {target, 0, -1});
        const Exchange x = link.Run(t, std::min(timeout, 1000));
        if (x.reply) {
            Result v = Judge("verify", target, x);
            v.outcome = "Device answers at address " + std::to_string(target);
            Print(o, v);
            return kOk;
        }
    }
    Result v{"verify", target, {}, "No answer at address " + std::to_string(target) +
                                       " after the reset; check the reset and the address.",
             "null", {}, kNoReply};
    FillRequest(v.x.sent, NuvOperation::Test, {target, 0, -1});
    Print(o, v);
    return kNoReply;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    if (o.command == "ports") {
        const auto ports = w32::EnumerateSerialPorts();
        for (const auto& p : ports) {
            if (o.json)
                std::printf("{\"device\":%s,\"by_id\":%s,\"driver\":%s}\n",
                            JsonString(p.device).c_str(),
                            p.byId.empty() ? "null" : JsonString(p.byId).c_str(),
                            JsonString(p.driver).c_str());
            else
                std::printf("%-16s %-10s %s\n", p.device.c_str(), p.driver.c_str(),
                            p.byId.c_str());
        }
        if (ports.empty() && !o.json) std::printf("No serial ports found.\n");
        return kOk;
    }
    QCoreApplication app(argc, argv);
    // Faster framing for a scan: the bytes of one frame at 9600 baud are about 1 ms apart,
    // and a USB adapter's latency timer (16 ms) still fits well inside 40 ms.
    Link link(o, o.command == "scan" ? 40 : 100);
    try {
        link.Comm().StartComm();
    } catch (const ECommsError&) {
        const w32::DWORD error = w32::GetLastError();
        link.Comm().StopComm();
        return ReportOpenFailure(o, error);
    } catch (const EInOutError& e) {
        std::fprintf(stderr, "nuvctl: cannot write the trace file %s: %s\n", o.trace.c_str(),
                     e.what());
        return kUsageError;
    }
    const int code = RunCommand(o, link);
    try {
        link.Comm().StopComm();
    } catch (const EInOutError& e) {
        std::fprintf(stderr, "nuvctl: the trace file %s could not be written: %s\n",
                     o.trace.c_str(), e.what());
    }
    return code;
}
