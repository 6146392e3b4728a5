// The NUV setup tool: one dialog on the window thread.

#include "Main.h"

#include <QApplication>

#include "Boxes.h"
#include "Messages.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    TForm1 Form1;
    ShowDispatchErrorsIn(&Form1);
    Form1.show();
    const int result = application.exec();
    w32::SetApplicationExceptionHandler(nullptr);
    return result;
}
