#pragma once
// The serial ports present on this machine.

#include <string>
#include <vector>

namespace w32 {

struct SerialPortInfo {
    std::string device;  // /dev/ttyUSB0, /dev/ttyS0, ...
    std::string byId;    // its /dev/serial/by-id link, when udev made one
    std::string driver;  // the kernel driver's name
};

// Ports with a driver behind them: USB adapters, ACM devices and UARTs that exist
// (8250 entries without hardware are left out). Pseudo-terminals never appear.
std::vector<SerialPortInfo> EnumerateSerialPorts();

}  // namespace w32
