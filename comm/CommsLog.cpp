#include "CommsLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "Memory.h"
#include "Misc.h"

namespace {

std::string Describe(int code) {
    if (code == kFileNotOpenForOutput) return "I/O error 105: file not open for output";
    return "I/O error " + std::to_string(code) + ": " + std::strerror(code);
}

// The trace file: a descriptor and a 128-byte buffer that goes out when full and at close.
class TraceFile {
public:
    void Rewrite(const std::string& name) {
        std::lock_guard lock(mutex_);
        if (fd_ >= 0) {
            // A file left open by an earlier start: let go of it first.
            ::close(fd_);
            fd_ = -1;
        }
        used_ = 0;
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) throw EInOutError(errno, Describe(errno));
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            ::close(fd);
            throw EInOutError(e, Describe(e));
        }
        if (::ftruncate(fd, 0) != 0) {
            // Devices cannot be truncated and need not be.
        }
        fd_ = fd;
    }

    void WriteLine(const char* text) {
        std::lock_guard lock(mutex_);
        if (fd_ < 0) throw EInOutError(kFileNotOpenForOutput, Describe(kFileNotOpenForOutput));
        Append(text, std::strlen(text));
        Append("\r\n", 2);
    }

    void Close() {
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return;
        int error = 0;
        try {
            Flush();
        } catch (const EInOutError& e) {
            error = e.ErrorCode;
        }
        if (::close(fd_) != 0 && error == 0) error = errno;
        fd_ = -1;
        if (error != 0) throw EInOutError(error, Describe(error));
    }

    bool IsOpen() {
        std::lock_guard lock(mutex_);
        return fd_ >= 0;
    }

    std::string Name() {
        std::lock_guard lock(mutex_);
        return globalName_;
    }
    void SetName(const std::string& name) {
        std::lock_guard lock(mutex_);
        globalName_ = name;
        on_.store(!name.empty(), std::memory_order_release);
    }
    // Cheap test for every trace call: is a name set?
    bool On() const { return on_.load(std::memory_order_acquire); }

private:
    void Append(const char* data, std::size_t length) {
        while (length > 0) {
            const std::size_t room = sizeof buffer_ - used_;
            const std::size_t take = std::min(room, length);
            std::memcpy(buffer_ + used_, data, take);
            used_ += take;
            data += take;
            length -= take;
            if (used_ == sizeof buffer_) Flush();
        }
    }

    void Flush() {
        std::size_t done = 0;
        while (done < used_) {
            const ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                const int e = errno;
                used_ = 0;  // what could not be written is dropped, not retried
                throw EInOutError(e, Describe(e));
            }
            done += static_cast<std::size_t>(n);
        }
        used_ = 0;
    }

    std::mutex mutex_;
    int fd_ = -1;
    char buffer_[128];
    std::size_t used_ = 0;
    std::string globalName_;
    std::atomic<bool> on_{false};
};

TraceFile& CommsLogFile() {
    static TraceFile* file = new TraceFile;  // used by workers until the very end
    return *file;
}

}  // namespace

EInOutError::EInOutError(int code, const std::string& message)
    : std::runtime_error(message), ErrorCode(code) {}

std::string GlobalCommsLogFileName() {
    return CommsLogFile().Name();
}
void SetGlobalCommsLogFileName(const std::string& name) {
    CommsLogFile().SetName(name);
}

void WriteCommsLog(const char* text) {
    if (!CommsLogFile().On()) return;
    CommsLogFile().WriteLine(text == nullptr ? "" : text);
}

void ReportCommError(w32::DWORD code, const char* prefix) {
    if (!CommsLogFile().On()) return;
    std::string line = prefix == nullptr ? "" : prefix;
    char* text = FormatLastError(code, nullptr, 0);
    if (text == nullptr) {
        line += "Out of memory";
    } else {
        line += "GetLastError returned: \"";
        line += text;
        line += '"';
        w32::LocalFree(text);
    }
    if (line.size() > 1023) line.resize(1023);
    WriteCommsLog(line.c_str());
}

void OpenCommsLog(const std::string& name) {
    CommsLogFile().Rewrite(name);
}
void CloseCommsLog() {
    CommsLogFile().Close();
}
bool CommsLogIsOpen() {
    return CommsLogFile().IsOpen();
}
