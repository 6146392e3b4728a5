// Shows the setup dialog (or, for the baseline, an empty window), then reports its peak
// resident memory and ends.

#include <sys/resource.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstring>
#include <memory>

#include "Main.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const bool form = argc > 1 && std::strcmp(argv[1], "form") == 0;
    std::unique_ptr<QWidget> window;
    if (form)
        window = std::make_unique<TForm1>();
    else
        window = std::make_unique<QWidget>();
    window->show();
    QTimer::singleShot(0, [&] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("shown %ld\n", usage.ru_maxrss);
        std::fflush(stdout);
        app.quit();
    });
    return app.exec();
}
