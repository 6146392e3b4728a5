#pragma once
// The setup dialog: open a port, address one NUV device and run the five operations.

#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>

#include "Comm32.h"
#include "DeviceFrame.h"
#include "Win32Types.h"

namespace Ui {
class TForm1;
}

class TForm1 : public QWidget {
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    TComm32* Comm321 = nullptr;
    QTimer* Timer1 = nullptr;

    // State, for the program and its tests.
    bool PortOpen() const { return FPortOpen; }
    const DeviceFrame& TxFrame() const { return FTxFrame; }
    const QString& Message() const { return FMessage; }

public slots:
    void btnOpenClick();
    void btnCloseClick();
    void btnTestClick();
    void btnReadTypeClick();
    void btnSetTypeClick();
    void btnReadAddClick();
    void btnWriteAddClick();
    void Button1Click();
    void Timer1Timer();

public:
    void Comm321ReceiveData(void* Buffer, std::uint16_t BufferLength);
    void Comm321RequestHangup(QObject* Sender);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void FormShow();
    void UpdateButtons();
    void SendRequest(NuvOperation operation);

    Ui::TForm1* ui;
    QString FMessage;
    bool FPortOpen = false;
    DeviceFrame FTxFrame{};
    DeviceFrame FRxFrame{};
    w32::DWORD FSendTick = 0;
    bool shownOnce_ = false;
};
