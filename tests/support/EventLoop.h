#pragma once
// Runs the Qt event loop of the calling thread until a condition holds.

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <functional>

inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents();
        QThread::usleep(200);
    }
    return true;
}

#include <QEventLoop>
#include <QTimer>

// Runs the event loop for a while without polling (the thread sleeps between events).
inline void RunEventLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
