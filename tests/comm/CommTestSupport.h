#pragma once
// Helpers for the serial link's tests: a window that records what the workers post, and
// a trace file that can be read back.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CommMessages.h"
#include "CommsLog.h"
#include "EventLoop.h"
#include "Win32.h"

// One posted notification as the window saw it.
struct Posted {
    w32::UINT message;
    w32::WPARAM wParam;
    std::vector<unsigned char> block;  // for WM_COMMDATA: the count bytes and one more
};

// A hidden window that records notifications and frees their blocks.
class Recorder {
public:
    Recorder() {
        wnd = w32::AllocateHWnd([this](w32::TMessage& m) {
            Posted p{m.Msg, m.WParam, {}};
            if (m.Msg == WM_COMMDATA) {
                auto* bytes = reinterpret_cast<unsigned char*>(m.LParam);
                p.block.assign(bytes, bytes + m.WParam + 1);
                w32::LocalFree(bytes);
            }
            posted.push_back(std::move(p));
        });
    }
    ~Recorder() {
        if (wnd) Close();
    }
    void Close() {
        for (const auto& left : w32::DeallocateHWnd(wnd))
            if (left.message == WM_COMMDATA) w32::LocalFree(reinterpret_cast<void*>(left.lParam));
        wnd = 0;
    }
    int Count(w32::UINT message) const {
        int n = 0;
        for (const auto& p : posted) n += p.message == message;
        return n;
    }
    std::vector<Posted> Data() const {
        std::vector<Posted> out;
        for (const auto& p : posted)
            if (p.message == WM_COMMDATA) out.push_back(p);
        return out;
    }
    std::string Text(std::size_t i) const {
        const auto d = Data();
        return std::string(d.at(i).block.begin(), d.at(i).block.end() - 1);
    }
    w32::HWND wnd = 0;
    std::vector<Posted> posted;
};

// A trace file in the temporary folder, switched on for the test's life.
class TraceCapture {
public:
    TraceCapture() {
        char name[] = "/tmp/nuv-trace-XXXXXX";
        const int fd = mkstemp(name);
        close(fd);
        path = name;
    }
    ~TraceCapture() {
        try {
            CloseCommsLog();
        } catch (...) {
        }
        SetGlobalCommsLogFileName({});
        unlink(path.c_str());
    }
    void Start() {
        SetGlobalCommsLogFileName(path);
        OpenCommsLog(path);
    }
    // Closes the file and answers its lines (without CR LF).
    std::vector<std::string> Lines() {
        CloseCommsLog();
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string text = ss.str();
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t i = 0; i + 1 < text.size(); ++i) {
            if (text[i] == '\r' && text[i + 1] == '\n') {
                lines.push_back(text.substr(start, i - start));
                start = i + 2;
                ++i;
            }
        }
        return lines;
    }
    std::string path;
};

inline bool HasLine(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0) return true;
    return false;
}

inline int CountLines(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
    return n;
}
