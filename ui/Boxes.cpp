#include "Boxes.h"

#include <QMessageBox>

#include "Messages.h"

namespace {
BoxObserver gObserver;
}

void SetBoxObserver(BoxObserver observer) {
    gObserver = std::move(observer);
}

void ShowBox(QWidget* parent, BoxKind kind, const QString& text) {
    if (gObserver && gObserver(kind, text)) return;
    QMessageBox::Icon icon = QMessageBox::Information;
    QString title = QStringLiteral("Information");
    if (kind == BoxKind::Warning) {
        icon = QMessageBox::Warning;
        title = QStringLiteral("Warning");
    } else if (kind == BoxKind::Error) {
        icon = QMessageBox::Critical;
        title = QStringLiteral("Error");
    }
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

void ShowDispatchErrorsIn(QWidget* parent) {
    w32::SetApplicationExceptionHandler([parent](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            ShowBox(parent, BoxKind::Error, QString::fromUtf8(e.what()));
        } catch (...) {
            ShowBox(parent, BoxKind::Error, QStringLiteral("Unknown error"));
        }
    });
}
