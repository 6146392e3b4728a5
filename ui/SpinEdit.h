#pragma once
// A numeric spin field: whole numbers stepped by 1 with the arrows and the Up and Down
// keys. Where the limits differ, values set by the program are clamped into them and a
// typed value is clamped when the field loses focus; equal limits mean no limit. A text
// that is not a whole number (an empty one included) reads as the lower limit.

#include <QSpinBox>

class TSpinEdit : public QSpinBox {
    Q_OBJECT
    Q_PROPERTY(int MinValue READ MinValue WRITE setMinValue)
    Q_PROPERTY(int MaxValue READ MaxValue WRITE setMaxValue)
    Q_PROPERTY(int Value READ Value WRITE SetValue)

public:
    explicit TSpinEdit(QWidget* parent = nullptr);

    int MinValue() const { return min_; }
    void setMinValue(int value);
    int MaxValue() const { return max_; }
    void setMaxValue(int value);
    int Value() const;
    void SetValue(int value);

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;

private:
    void ApplyRange();
    int Clamp(int value) const;
    int min_ = 0;
    int max_ = 0;
};
