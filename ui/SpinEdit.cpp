#include "SpinEdit.h"

#include <QLineEdit>
#include <climits>

TSpinEdit::TSpinEdit(QWidget* parent) : QSpinBox(parent) {
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    setKeyboardTracking(true);
    ApplyRange();
}

void TSpinEdit::setMinValue(int value) {
    min_ = value;
    ApplyRange();
}

void TSpinEdit::setMaxValue(int value) {
    max_ = value;
    ApplyRange();
}

void TSpinEdit::ApplyRange() {
    if (min_ == max_)
        setRange(INT_MIN, INT_MAX);
    else
        setRange(min_, max_);
}

int TSpinEdit::Clamp(int value) const {
    if (min_ == max_) return value;
    return value < min_ ? min_ : (value > max_ ? max_ : value);
}

int TSpinEdit::Value() const {
    bool ok = false;
    const int v = text().trimmed().toInt(&ok);
    return ok ? v : min_;
}

void TSpinEdit::SetValue(int value) {
    setValue(Clamp(value));
    // setValue leaves the text alone when the value is unchanged but the text was edited.
    lineEdit()->setText(QString::number(Clamp(value)));
}

QValidator::State TSpinEdit::validate(QString& input, int&) const {
    const QString text = input.trimmed();
    if (text.isEmpty() || text == "-" || text == "+") return QValidator::Intermediate;
    bool ok = false;
    const long long v = text.toLongLong(&ok);
    if (!ok) return QValidator::Invalid;
    // A value beyond the limits may be typed; it is clamped when the field loses focus.
    if (v < minimum() || v > maximum()) return QValidator::Intermediate;
    return QValidator::Acceptable;
}

void TSpinEdit::fixup(QString& input) const {
    bool ok = false;
    const long long v = input.trimmed().toLongLong(&ok);
    if (!ok) {
        input = QString::number(min_);
        return;
    }
    if (min_ != max_) input = QString::number(v < min_ ? min_ : (v > max_ ? max_ : v));
}
