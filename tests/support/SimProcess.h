#pragma once
// Runs nuv-sim as a child process on a link of its own, for end-to-end tests.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DeviceFrame.h"

class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args = {}) {
        static int counter = 0;
        link_ = "/tmp/nuv-sim-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            std::vector<std::string> all = {NUV_SIM_PATH, "--link", link_};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
        // The log is drained all the time, so the simulator never blocks on a full pipe.
        reader_ = std::thread([this] {
            char buf[4096];
            std::string partial;
            for (;;) {
                const ssize_t n = ::read(out_, buf, sizeof buf);
                if (n <= 0) break;
                partial.append(buf, static_cast<std::size_t>(n));
                std::size_t nl;
                std::lock_guard lock(mutex_);
                while ((nl = partial.find('\n')) != std::string::npos) {
                    lines_.push_back(partial.substr(0, nl));
                    partial.erase(0, nl + 1);
                }
                cv_.notify_all();
            }
            std::lock_guard lock(mutex_);
            ended_ = true;
            cv_.notify_all();
        });
        const std::string first = ReadLine(10000);
        if (first != link_) throw std::runtime_error("nuv-sim did not start: " + first);
    }
    ~SimProcess() { Stop(); }

    const std::string& Link() const { return link_; }
    pid_t Pid() const { return pid_; }
    void Signal(int sig) const { ::kill(pid_, sig); }
    // Ends the simulator; answers its exit status.
    int Stop() {
        if (pid_ <= 0) return exitStatus_;
        ::kill(pid_, SIGTERM);
        return Wait();
    }
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        if (reader_.joinable()) reader_.join();
        if (out_ >= 0) ::close(out_);
        out_ = -1;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return exitStatus_;
    }
    // Next line of the simulator's log, or "" after the time-out.
    std::string ReadLine(int timeoutMs = 5000) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [this] { return !lines_.empty() || ended_; });
        if (lines_.empty()) return "";
        std::string line = lines_.front();
        lines_.pop_front();
        return line;
    }
    // Waits for a log line that contains the text.
    bool AwaitLog(const std::string& text, int timeoutMs = 5000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string line = ReadLine(100);
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    std::string link_;
    pid_t pid_ = -1;
    int out_ = -1;
    int exitStatus_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> lines_;
    bool ended_ = false;
};

// The simulator's port opened with plain termios, raw.
class RawLine {
public:
    explicit RawLine(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open " + path);
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd_, TCSANOW, &t);
    }
    ~RawLine() {
        if (fd_ >= 0) ::close(fd_);
    }
    int Fd() const { return fd_; }
    void Send(const std::vector<std::uint8_t>& bytes) const {
        if (::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("write");
    }
    void Send(const DeviceFrame& f) const { Send(std::vector<std::uint8_t>(f.begin(), f.end())); }
    // Collects bytes until the line has been quiet for quietMs (or timeoutMs passed).
    std::vector<std::uint8_t> Receive(int quietMs = 300, int timeoutMs = 5000) const {
        std::vector<std::uint8_t> got;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, quietMs) <= 0) {
                if (!got.empty()) break;
                continue;
            }
            if (p.revents & (POLLHUP | POLLERR)) break;
            std::uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

private:
    int fd_ = -1;
};
