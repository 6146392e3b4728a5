#pragma once
// The dialog's modal message boxes, with one OK button each, shown through one seam so
// that tests can observe them.

#include <QString>
#include <QWidget>
#include <functional>

enum class BoxKind { Information, Warning, Error };

// An observer sees every box; answering true means it handled the box and the real one
// is not shown.
using BoxObserver = std::function<bool(BoxKind kind, const QString& text)>;
void SetBoxObserver(BoxObserver observer);

// Shows a modal box ("Information", "Warning" or "Error" in the title); the event loop
// keeps running while it is open.
void ShowBox(QWidget* parent, BoxKind kind, const QString& text);

// Shows an exception that reaches the window dispatch in an error box, so that the
// program goes on (as the original toolkit's application object did).
void ShowDispatchErrorsIn(QWidget* parent);
