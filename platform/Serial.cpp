#include "Serial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Errors.h"
#include "Handles.h"
#include "Internal.h"
#include "ScriptedDevice.h"
#include "Threads.h"

namespace w32 {

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using detail::KernelObject;

bool IsGoneErrno(int e) {
    return e == EIO || e == ENXIO || e == ENODEV;
}

struct BaudEntry {
    DWORD rate;
    speed_t speed;
};
const BaudEntry kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> SpeedFor(DWORD rate) {
    for (const auto& b : kBauds)
        if (b.rate == rate) return b.speed;
    return std::nullopt;
}

DWORD RateFor(speed_t speed) {
    for (const auto& b : kBauds)
        if (b.speed == speed) return b.rate;
    return 0;
}

struct FileObject : KernelObject {
    int fd = -1;
    DWORD type = FILE_TYPE_UNKNOWN;
    void OnClose() override {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

struct Port : KernelObject, std::enable_shared_from_this<Port> {
    struct Read {
        OVERLAPPED* ov;
        BYTE* buf;
        DWORD size;
        DWORD got;
        DWORD issuer;
        Clock::time_point lastByte;
        bool useInterval;
        Ms interval;
        bool useTotal;
        Clock::time_point totalDeadline;
        bool firstByteMode;
    };
    struct Write {
        OVERLAPPED* ov;
        const BYTE* buf;
        DWORD size;
        DWORD done;
        DWORD issuer;
        bool useDeadline;
        Clock::time_point deadline;
    };
    struct Wait {
        OVERLAPPED* ov;
        DWORD* mask;
        DWORD issuer;
    };

    std::mutex m;
    int fd = -1;
    int wakeFd = -1;
    std::thread io;
    bool closing = false;
    bool gone = false;
    COMMTIMEOUTS timeouts;
    DWORD commMask = 0;
    DWORD pendingEvents = 0;
    DWORD lineErrors = 0;
    bool hasIcount = false;
    serial_icounter_struct icount{};
    DCB kept;  // members that termios has no place for
    std::shared_ptr<ScriptedDevice> script;
    std::optional<Read> rd;
    std::optional<Write> wr;
    std::optional<Wait> wt;
    // The port's own receive buffer, as a serial driver keeps one: the I/O thread moves
    // arriving bytes here whether or not a read is pending, so that a read finds them at
    // once. When it is full the thread stops taking bytes until a read makes room.
    static constexpr std::size_t kRxCapacity = 65536;
    std::vector<BYTE> rxBuf = std::vector<BYTE>(kRxCapacity);
    std::size_t rxHead = 0;
    std::size_t rxCount = 0;

    ~Port() override {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void Wake() {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
    }

    // Completions found together become visible together: their events are set under
    // one lock when the lock on the port is let go (see Signals).
    std::vector<HANDLE> toSignal;

    void Complete(OVERLAPPED* ov, DWORD status, DWORD count) {
        ov->Internal = status;
        ov->InternalHigh = count;
        if (ov->hEvent) toSignal.push_back(ov->hEvent);
    }

    void FlushSignals() {
        if (toSignal.empty()) return;
        detail::SignalEvents(toSignal.data(), toSignal.size());
        toSignal.clear();
    }

    void CompleteRead(DWORD status) {
        Complete(rd->ov, status, rd->got);
        rd.reset();
    }
    void CompleteWrite(DWORD status) {
        Complete(wr->ov, status, wr->done);
        wr.reset();
    }
    void CompleteWait(DWORD status, DWORD events) {
        *wt->mask = events;
        Complete(wt->ov, status, 0);
        wt.reset();
    }

    void AbortAll(DWORD status) {
        if (rd) CompleteRead(status);
        if (wr) CompleteWrite(status);
        if (wt) CompleteWait(status, 0);
    }

    void MarkGone() {
        if (gone) return;
        gone = true;
        AbortAll(ERROR_DEVICE_NOT_CONNECTED);
    }

    void CheckLineErrors() {
        if (script && script->Paused()) return;
        DWORD ce = 0;
        DWORD events = 0;
        if (script) {
            // The scripted device reports EV_ERR for any flags it raises.
            DWORD s = script->TakeLineErrors();
            ce |= s;
            if (s) events |= EV_ERR;
            DWORD forced;
            if (script->TakeForcedEvent(&forced)) {
                if (wt)
                    CompleteWait(ERROR_SUCCESS, forced);
                else
                    pendingEvents |= forced;
            }
        }
        if (hasIcount && !gone) {
            serial_icounter_struct now{};
            if (::ioctl(fd, TIOCGICOUNT, &now) == 0) {
                if (now.frame != icount.frame) ce |= CE_FRAME;
                if (now.overrun != icount.overrun) ce |= CE_OVERRUN;
                if (now.parity != icount.parity) ce |= CE_RXPARITY;
                if (now.buf_overrun != icount.buf_overrun) ce |= CE_RXOVER;
                if (now.brk != icount.brk) ce |= CE_BREAK;
                icount = now;
                if (ce & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) events |= EV_ERR;
                if (ce & CE_BREAK) events |= EV_BREAK;
            }
        }
        if (ce == 0) return;
        lineErrors |= ce;
        events &= commMask;
        if (events == 0) return;
        if (wt)
            CompleteWait(ERROR_SUCCESS, events);
        else
            pendingEvents |= events;
    }

    // Takes what the driver holds into the port's receive buffer. False when that ended
    // the pending read (the device is gone, or reading failed).
    bool FillRing() {
        while (rxCount < kRxCapacity) {
            const std::size_t tail = (rxHead + rxCount) % kRxCapacity;
            const std::size_t room = std::min(kRxCapacity - rxCount, kRxCapacity - tail);
            const ssize_t n = ::read(fd, rxBuf.data() + tail, room);
            if (n > 0) {
                rxCount += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
            if (n == 0 || IsGoneErrno(errno)) {
                MarkGone();
            } else if (rd) {
                CompleteRead(ErrorFromErrno(errno));
            }
            return false;
        }
        return true;
    }

    // Moves buffered bytes into the pending read.
    void DrainRead(Clock::time_point now) {
        Read& r = *rd;
        std::size_t take = std::min<std::size_t>(rxCount, r.size - r.got);
        if (take == 0) return;
        r.lastByte = now;
        while (take > 0) {
            const std::size_t piece = std::min(take, kRxCapacity - rxHead);
            std::memcpy(r.buf + r.got, rxBuf.data() + rxHead, piece);
            r.got += static_cast<DWORD>(piece);
            rxHead = (rxHead + piece) % kRxCapacity;
            rxCount -= piece;
            take -= piece;
        }
        if (rxCount == 0) rxHead = 0;
    }

    bool ReadTimedOut(Clock::time_point now) const {
        const Read& r = *rd;
        if (r.firstByteMode) return r.got > 0 || now >= r.totalDeadline;
        if (r.useInterval && r.got > 0 && now - r.lastByte >= r.interval) return true;
        return r.useTotal && now >= r.totalDeadline;
    }

    // Moves the pending write on. False when it ended.
    bool PushWrite() {
        Write& w = *wr;
        while (w.done < w.size) {
            ssize_t n = ::write(fd, w.buf + w.done, w.size - w.done);
            if (n > 0) {
                w.done += static_cast<DWORD>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
            if (n < 0 && IsGoneErrno(errno))
                MarkGone();
            else
                CompleteWrite(ErrorFromErrno(errno));
            return false;
        }
        return true;
    }

    void Service(Clock::time_point now) {
        if (gone) return;
        if (script && script->Paused()) return;
        DWORD code;
        if (script) {
            if (rd && script->TakePendingFailure(ScriptedDevice::Op::Read, &code))
                CompleteRead(code);
            if (wr && script->TakePendingFailure(ScriptedDevice::Op::Write, &code))
                CompleteWrite(code);
            if (wt && script->TakePendingFailure(ScriptedDevice::Op::WaitCommEvent, &code))
                CompleteWait(code, 0);
        }
        CheckLineErrors();
        if (!FillRing()) return;
        if (rd) {
            DrainRead(now);
            if (rd->got == rd->size || ReadTimedOut(now)) CompleteRead(ERROR_SUCCESS);
        }
        if (wr && PushWrite()) {
            if (wr->done == wr->size || (wr->useDeadline && now >= wr->deadline))
                CompleteWrite(ERROR_SUCCESS);
        }
    }

    // Time until the next timed operation ends; none when nothing timed is pending.
    std::optional<Clock::duration> NextTimeout(Clock::time_point now) const {
        std::optional<Clock::time_point> next;
        auto consider = [&next](Clock::time_point t) {
            if (!next || t < *next) next = t;
        };
        if (rd) {
            if (rd->firstByteMode || rd->useTotal) consider(rd->totalDeadline);
            if (rd->useInterval && rd->got > 0) consider(rd->lastByte + rd->interval);
        }
        if (wr && wr->useDeadline) consider(wr->deadline);
        if (!next) return std::nullopt;
        return *next <= now ? Clock::duration::zero() : *next - now;
    }

    void Loop() {
        // Time-outs are exact to the microsecond: no timer slack on this thread.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        ::pthread_setname_np(::pthread_self(), "port-io");
        std::unique_lock lock(m);
        while (!closing) {
            Service(Clock::now());
            pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, 0, 0}};
            nfds_t count = 1;
            const bool paused = script && script->Paused();
            if (!gone && !paused) {
                if (rxCount < kRxCapacity) fds[1].events |= POLLIN;
                if (wr) fds[1].events |= POLLOUT;
                count = 2;
            }
            const auto timeout = paused ? std::nullopt : NextTimeout(Clock::now());
            timespec ts{};
            if (timeout) {
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*timeout).count();
                ts.tv_sec = static_cast<time_t>(ns / 1000000000);
                ts.tv_nsec = static_cast<long>(ns % 1000000000);
            }
            FlushSignals();
            lock.unlock();
            const int r = ::ppoll(fds, count, timeout ? &ts : nullptr, nullptr);
            lock.lock();
            if (r <= 0) continue;
            if (fds[0].revents & POLLIN) {
                std::uint64_t value;
                [[maybe_unused]] auto n = ::read(wakeFd, &value, sizeof value);
            }
            if (count == 2 && !gone && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) {
                // Take what is still buffered, then the device is gone.
                if (FillRing() && rd) DrainRead(Clock::now());
                MarkGone();
            }
            FlushSignals();
        }
    }

    void OnClose() override {
        {
            std::lock_guard lock(m);
            closing = true;
            AbortAll(ERROR_OPERATION_ABORTED);
            FlushSignals();
        }
        Wake();
        if (io.joinable()) io.join();
        if (script) script->Detach();
        ::ioctl(fd, TIOCNXCL);
        ::flock(fd, LOCK_UN);
        ::close(fd);
        fd = -1;
    }
};

}  // namespace

std::string PortPath(const std::string& name) {
    std::string n = name;
    if (n.rfind("\\\\.\\", 0) == 0) n = n.substr(4);
    if (n.size() > 3 && (n[0] == 'C' || n[0] == 'c') && (n[1] == 'O' || n[1] == 'o') &&
        (n[2] == 'M' || n[2] == 'm')) {
        bool digits = true;
        for (std::size_t i = 3; i < n.size(); ++i)
            digits = digits && std::isdigit(static_cast<unsigned char>(n[i]));
        if (digits) {
            const long number = std::strtol(n.c_str() + 3, nullptr, 10);
            if (number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
        }
    }
    if (n.find('/') == std::string::npos) return "/dev/" + n;
    return n;
}

namespace {

// The port's lock for an API call: completions it made are signalled as it lets go.
class PortLock {
public:
    explicit PortLock(Port& p) : p_(p), lock_(p.m) {}
    ~PortLock() { p_.FlushSignals(); }

private:
    Port& p_;
    std::lock_guard<std::mutex> lock_;
};

std::shared_ptr<Port> PortFor(HANDLE h) {
    auto port = detail::LookupAs<Port>(h);
    if (!port) SetLastError(ERROR_INVALID_HANDLE);
    return port;
}

// Common checks under the port's lock: a closed or vanished port fails the call.
bool Usable(Port& p) {
    if (p.closing) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (p.gone) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }
    return true;
}

bool ScriptFails(Port& p, ScriptedDevice::Op op) {
    DWORD code;
    if (p.script && p.script->TakeCallFailure(op, &code)) {
        SetLastError(code);
        return true;
    }
    return false;
}

BOOL FailWithErrno(Port& p) {
    const int e = errno;
    if (IsGoneErrno(e)) p.MarkGone();
    SetLastError(ErrorFromErrno(e));
    return FALSE;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES*, DWORD, DWORD,
                   HANDLE) {
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto script = FindScriptedDevice(name);
    const std::string path = script ? script->SlavePath() : PortPath(name);
    int mode = O_RDWR;
    if ((access & GENERIC_WRITE) == 0) mode = O_RDONLY;
    if ((access & GENERIC_READ) == 0 && (access & GENERIC_WRITE)) mode = O_WRONLY;
    const int fd = ::open(path.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st {};
    ::fstat(fd, &st);
    if (!S_ISCHR(st.st_mode) || !::isatty(fd)) {
        auto file = std::make_shared<FileObject>();
        file->fd = fd;
        file->type = S_ISREG(st.st_mode) ? FILE_TYPE_DISK : FILE_TYPE_UNKNOWN;
        // Regular files are read and written with blocking calls.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return detail::Insert(std::move(file));
    }
    if (shareMode == 0) {
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            ::close(fd);
            SetLastError(e == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(e));
            return INVALID_HANDLE_VALUE;
        }
        ::ioctl(fd, TIOCEXCL);
    }
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~CRTSCTS;
        t.c_iflag &= ~(IXON | IXOFF | IXANY | PARMRK);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        ::tcsetattr(fd, TCSANOW, &t);
    }
    auto port = std::make_shared<Port>();
    port->fd = fd;
    port->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (port->wakeFd < 0) {
        const int e = errno;
        ::flock(fd, LOCK_UN);
        ::close(fd);
        SetLastError(ErrorFromErrno(e));
        return INVALID_HANDLE_VALUE;
    }
    port->hasIcount = ::ioctl(fd, TIOCGICOUNT, &port->icount) == 0;
    port->script = script;
    if (script) {
        std::weak_ptr<Port> weak = port;
        script->Attach([weak] {
            if (auto p = weak.lock()) p->Wake();
        });
    }
    try {
        port->io = std::thread([p = port.get()] { p->Loop(); });
    } catch (...) {
        ::flock(fd, LOCK_UN);
        ::close(fd);
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return INVALID_HANDLE_VALUE;
    }
    return detail::Insert(std::move(port));
}

DWORD GetFileType(HANDLE h) {
    auto object = detail::Lookup(h);
    if (std::dynamic_pointer_cast<Port>(object)) return FILE_TYPE_CHAR;
    if (auto file = std::dynamic_pointer_cast<FileObject>(object)) return file->type;
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
    auto p = PortFor(h);
    if (!p) return FALSE;
    if (dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortLock lock(*p);
    if (!Usable(*p)) return FALSE;
    termios t{};
    if (::tcgetattr(p->fd, &t) != 0) return FailWithErrno(*p);
    DCB d = p->kept;
    d.DCBlength = sizeof(DCB);
    d.BaudRate = RateFor(::cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
        case CS5:
            d.ByteSize = 5;
            break;
        case CS6:
            d.ByteSize = 6;
            break;
        case CS7:
            d.ByteSize = 7;
            break;
        default:
            d.ByteSize = 8;
            break;
    }
    if ((t.c_cflag & PARENB) == 0)
        d.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    d.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    *dcb = d;
    return TRUE;
}

BOOL SetCommState(HANDLE h, const DCB* dcb) {
    auto p = PortFor(h);
    if (!p) return FALSE;
    if (dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto speed = SpeedFor(dcb->BaudRate);
    if (!speed || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
        (dcb->StopBits != ONESTOPBIT && dcb->StopBits != TWOSTOPBITS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortLock lock(*p);
    if (!Usable(*p)) return FALSE;
    termios old{};
    if (::tcgetattr(p->fd, &old) != 0) return FailWithErrno(*p);
    termios t = old;
    ::cfsetispeed(&t, *speed);
    ::cfsetospeed(&t, *speed);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[dcb->ByteSize - 5];
    switch (dcb->Parity) {
        case ODDPARITY:
            t.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            t.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb->StopBits == TWOSTOPBITS) t.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | INPCK | PARMRK);
    if (dcb->fOutX) t.c_iflag |= IXON;
    if (dcb->fInX) t.c_iflag |= IXOFF;
    if (dcb->fParity && dcb->Parity != NOPARITY) t.c_iflag |= INPCK;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    if (::tcsetattr(p->fd, TCSANOW, &t) != 0) {
        const BOOL r = FailWithErrno(*p);
        ::tcsetattr(p->fd, TCSANOW, &old);
        return r;
    }
    // tcsetattr succeeds when any part applied: read back and undo a partial refusal.
    termios back{};
    ::tcgetattr(p->fd, &back);
    const tcflag_t mask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    if ((back.c_cflag & mask) != (t.c_cflag & mask) || ::cfgetospeed(&back) != *speed) {
        ::tcsetattr(p->fd, TCSANOW, &old);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DCB kept = *dcb;
    p->kept = kept;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
    auto p = PortFor(h);
    if (!p) return FALSE;
    PortLock lock(*p);
    if (p->closing) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *timeouts = p->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts) {
    auto p = PortFor(h);
    if (!p) return FALSE;
    PortLock lock(*p);
    if (!Usable(*p)) return FALSE;
    p->timeouts = *timeouts;
    return TRUE;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
    auto p = PortFor(h);
    if (!p) return FALSE;
    PortLock lock(*p);
    if (!Usable(*p)) return FALSE;
    p->commMask = mask;
    p->pendingEvents &= mask;
    if (p->wt) p->CompleteWait(ERROR_SUCCESS, 0);
    return TRUE;
}

BOOL GetCommMask(HANDLE h, DWORD* mask) {
    auto p = PortFor(h);
    if (!p) return FALSE;
    PortLock lock(*p);
    if (!Usable(*p)) return FALSE;
    *mask = p->commMask;
    return TRUE;
}

BOOL WaitCommEvent(HANDLE h, DWORD* eventMask, OVERLAPPED* ov) {
    auto p = PortFor(h);
    if (!p) return FALSE;
    if (eventMask == nullptr || ov == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortLock lock(*p);
    if (!Usable(*p)) return FALSE;
    if (p->commMask == 0 || p->wt) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ScriptFails(*p, ScriptedDevice::Op::WaitCommEvent)) return FALSE;
    p->CheckLineErrors();
    ov->Internal = STATUS_PENDING;
    ov->InternalHigh = 0;
    if (ov->hEvent) ResetEvent(ov->hEvent);
    if (p->pendingEvents & p->commMask) {
        *eventMask = p->pendingEvents & p->commMask;
        p->pendingEvents = 0;
        p->Complete(ov, ERROR_SUCCESS, 0);
        return TRUE;
    }
    p->wt = Port::Wait{ov, eventMask, GetCurrentThreadId()};
    p->Wake();
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* status) {
    auto p = PortFor(h);
    if (!p) return FALSE;
    PortLock lock(*p);
    if (!Usable(*p)) return FALSE;
    if (ScriptFails(*p, ScriptedDevice::Op::ClearCommError)) return FALSE;
    p->CheckLineErrors();
    if (errors) *errors = p->lineErrors;
    p->lineErrors = 0;
    if (status) {
        int in = 0, out = 0;
        if (::ioctl(p->fd, FIONREAD, &in) != 0) return FailWithErrno(*p);
        in += static_cast<int>(p->rxCount);
        ::ioctl(p->fd, TIOCOUTQ, &out);
        *status = COMSTAT{0, static_cast<DWORD>(in), static_cast<DWORD>(out)};
    }
    return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    auto p = PortFor(h);
    if (!p) return FALSE;
    PortLock lock(*p);
    if (p->closing) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((flags & PURGE_RXABORT) && p->rd) p->CompleteRead(ERROR_OPERATION_ABORTED);
    if ((flags & PURGE_TXABORT) && p->wr) p->CompleteWrite(ERROR_OPERATION_ABORTED);
    if (p->gone) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (flags & PURGE_RXCLEAR) {
        p->rxHead = p->rxCount = 0;
        if (::tcflush(p->fd, TCIFLUSH) != 0) return FailWithErrno(*p);
    }
    if ((flags & PURGE_TXCLEAR) && ::tcflush(p->fd, TCOFLUSH) != 0) return FailWithErrno(*p);
    return TRUE;
}

DWORD PendingOperations(HANDLE h) {
    auto p = PortFor(h);
    if (!p) return 0;
    PortLock lock(*p);
    return (p->rd ? PENDING_READ : 0) | (p->wr ? PENDING_WRITE : 0) |
           (p->wt ? PENDING_COMM_EVENT : 0);
}

BOOL CancelIo(HANDLE h) {
    auto p = PortFor(h);
    if (!p) return FALSE;
    const DWORD self = GetCurrentThreadId();
    PortLock lock(*p);
    if (p->rd && p->rd->issuer == self) p->CompleteRead(ERROR_OPERATION_ABORTED);
    if (p->wr && p->wr->issuer == self) p->CompleteWrite(ERROR_OPERATION_ABORTED);
    if (p->wt && p->wt->issuer == self) p->CompleteWait(ERROR_OPERATION_ABORTED, 0);
    return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov) {
    if (auto file = detail::LookupAs<FileObject>(h)) {
        const ssize_t n = ::read(file->fd, buffer, toRead);
        if (n < 0) {
            SetLastError(ErrorFromErrno(errno));
            return FALSE;
        }
        if (read) *read = static_cast<DWORD>(n);
        if (ov) {
            ov->Internal = ERROR_SUCCESS;
            ov->InternalHigh = static_cast<DWORD>(n);
            if (ov->hEvent) SetEvent(ov->hEvent);
        }
        return TRUE;
    }
    auto p = PortFor(h);
    if (!p) return FALSE;
    if (ov == nullptr || (buffer == nullptr && toRead > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortLock lock(*p);
    if (!Usable(*p)) return FALSE;
    if (p->rd) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ScriptFails(*p, ScriptedDevice::Op::Read)) return FALSE;
    ov->Internal = STATUS_PENDING;
    ov->InternalHigh = 0;
    if (ov->hEvent) ResetEvent(ov->hEvent);

    const COMMTIMEOUTS t = p->timeouts;
    const auto now = Clock::now();
    Port::Read r{};
    r.ov = ov;
    r.buf = static_cast<BYTE*>(buffer);
    r.size = toRead;
    r.issuer = GetCurrentThreadId();
    r.lastByte = now;
    const bool returnAtOnce = t.ReadIntervalTimeout == MAXDWORD &&
                              t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    r.firstByteMode = t.ReadIntervalTimeout == MAXDWORD &&
                      t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant > 0 &&
                      t.ReadTotalTimeoutConstant < MAXDWORD;
    if (r.firstByteMode) {
        r.totalDeadline = now + Ms(t.ReadTotalTimeoutConstant);
    } else {
        r.useInterval = t.ReadIntervalTimeout > 0 && t.ReadIntervalTimeout != MAXDWORD;
        r.interval = Ms(t.ReadIntervalTimeout);
        r.useTotal = t.ReadTotalTimeoutMultiplier > 0 || t.ReadTotalTimeoutConstant > 0;
        const auto total = static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * toRead +
                           t.ReadTotalTimeoutConstant;
        r.totalDeadline = now + Ms(static_cast<std::int64_t>(total));
    }
    p->rd = r;
    const bool paused = p->script && p->script->Paused();
    if (paused) {
        p->Wake();
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (p->FillRing()) p->DrainRead(now);
    if (!p->rd) {
        // Ended while taking what was buffered: the device is gone or the read failed.
        SetLastError(static_cast<DWORD>(ov->Internal));
        return FALSE;
    }
    const DWORD got = p->rd->got;
    if (got == toRead || returnAtOnce || (r.firstByteMode && got > 0)) {
        p->CompleteRead(ERROR_SUCCESS);
        if (read) *read = got;
        return TRUE;
    }
    p->Wake();
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, DWORD* written, OVERLAPPED* ov) {
    if (auto file = detail::LookupAs<FileObject>(h)) {
        const ssize_t n = ::write(file->fd, buffer, toWrite);
        if (n < 0) {
            SetLastError(ErrorFromErrno(errno));
            return FALSE;
        }
        if (written) *written = static_cast<DWORD>(n);
        if (ov) {
            ov->Internal = ERROR_SUCCESS;
            ov->InternalHigh = static_cast<DWORD>(n);
            if (ov->hEvent) SetEvent(ov->hEvent);
        }
        return TRUE;
    }
    auto p = PortFor(h);
    if (!p) return FALSE;
    if (ov == nullptr || (buffer == nullptr && toWrite > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortLock lock(*p);
    if (!Usable(*p)) return FALSE;
    if (p->wr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ScriptFails(*p, ScriptedDevice::Op::Write)) return FALSE;
    ov->Internal = STATUS_PENDING;
    ov->InternalHigh = 0;
    if (ov->hEvent) ResetEvent(ov->hEvent);
    DWORD size = toWrite;
    if (p->script && p->script->WriteChunkLimit() > 0)
        size = std::min(size, p->script->WriteChunkLimit());
    const COMMTIMEOUTS t = p->timeouts;
    const auto total = static_cast<std::uint64_t>(t.WriteTotalTimeoutMultiplier) * toWrite +
                       t.WriteTotalTimeoutConstant;
    p->wr = Port::Write{ov,
                        static_cast<const BYTE*>(buffer),
                        size,
                        0,
                        GetCurrentThreadId(),
                        t.WriteTotalTimeoutMultiplier > 0 || t.WriteTotalTimeoutConstant > 0,
                        Clock::now() + Ms(static_cast<std::int64_t>(total))};
    if (p->script && p->script->Paused()) {
        p->Wake();
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (!p->PushWrite()) {
        SetLastError(static_cast<DWORD>(ov->Internal));
        return FALSE;
    }
    if (p->wr->done == p->wr->size) {
        const DWORD done = p->wr->done;
        p->CompleteWrite(ERROR_SUCCESS);
        if (written) *written = done;
        return TRUE;
    }
    p->Wake();
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* transferred, BOOL wait) {
    auto object = detail::Lookup(h);
    auto p = std::dynamic_pointer_cast<Port>(object);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (ov == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (wait && ov->hEvent) WaitForSingleObject(ov->hEvent, INFINITE);
    std::unique_lock<std::mutex> lock;
    if (p) lock = std::unique_lock(p->m);
    if (ov->Internal == STATUS_PENDING) {
        SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    if (transferred) *transferred = static_cast<DWORD>(ov->InternalHigh);
    if (ov->Internal != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(ov->Internal));
        return FALSE;
    }
    return TRUE;
}

}  // namespace w32
