#pragma once
// A pseudo-terminal pair for tests: the test holds the master, the code under test opens
// the slave by its path.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

class PtyPair {
public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pty");
        char name[128];
        ::ptsname_r(master_, name, sizeof name);
        slave_ = name;
        // Raw on both sides, so bytes pass unchanged.
        keep_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        ::tcgetattr(keep_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(keep_, TCSANOW, &t);
    }
    ~PtyPair() {
        CloseMaster();
        if (keep_ >= 0) ::close(keep_);
    }
    const std::string& SlavePath() const { return slave_; }
    int Master() const { return master_; }
    // Drops our own slave descriptor (so that closing the master hangs the line up).
    void ReleaseSlave() {
        if (keep_ >= 0) ::close(keep_);
        keep_ = -1;
    }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    void Write(const std::vector<unsigned char>& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else if (n < 0)
                throw std::runtime_error("pty write failed");
        }
    }
    // Reads until `count` bytes came or `timeoutMs` passed.
    std::vector<unsigned char> Read(std::size_t count, int timeoutMs = 5000) const {
        std::vector<unsigned char> out;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            unsigned char buf[4096];
            ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

private:
    int master_ = -1;
    int keep_ = -1;
    std::string slave_;
};
