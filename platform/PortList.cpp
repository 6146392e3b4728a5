#include "PortList.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>

namespace w32 {

namespace fs = std::filesystem;

namespace {

// An 8250 entry is real hardware only when the driver knows a UART type for it.
bool UartPresent(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    serial_struct info{};
    const bool present = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    ::close(fd);
    return present;
}

}  // namespace

std::vector<SerialPortInfo> EnumerateSerialPorts() {
    std::map<std::string, std::string> byId;
    std::error_code ec;
    for (const auto& link : fs::directory_iterator("/dev/serial/by-id", ec)) {
        const auto target = fs::canonical(link.path(), ec);
        if (!ec) byId[target.string()] = link.path().string();
    }
    std::vector<SerialPortInfo> ports;
    for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
        const fs::path driverLink = entry.path() / "device" / "driver";
        std::error_code e2;
        if (!fs::exists(driverLink, e2)) continue;
        const std::string driver = fs::read_symlink(driverLink, e2).filename().string();
        const std::string device = "/dev/" + entry.path().filename().string();
        if (!fs::exists(device, e2)) continue;
        // UART entries exist for every possible 8250 port, hardware or not.
        if ((driver == "serial8250" || device.rfind("/dev/ttyS", 0) == 0) && !UartPresent(device))
            continue;
        SerialPortInfo info{device, {}, driver};
        if (auto it = byId.find(device); it != byId.end()) info.byId = it->second;
        ports.push_back(info);
    }
    std::sort(ports.begin(), ports.end(),
              [](const auto& a, const auto& b) { return a.device < b.device; });
    return ports;
}

}  // namespace w32
