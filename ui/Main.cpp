#include "Main.h"

#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QScreen>

#include "Boxes.h"
#include "PortList.h"
#include "Time.h"
#include "ui_Main.h"

TForm1::TForm1(QWidget* parent) : QWidget(parent), ui(new Ui::TForm1) {
    ui->setupUi(this);
    setObjectName(QStringLiteral("Form1"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    setFixedSize(563, 257);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);

    QFont font(QStringLiteral("Times New Roman"));
    font.setPixelSize(13);
    setFont(font);
    QFont heading = font;
    heading.setPixelSize(24);
    heading.setBold(true);
    ui->Label3->setFont(heading);
    ui->Label3->adjustSize();  // an auto-sized label: as wide as the font makes the text

    // Ports present on this machine follow the two fixed entries.
    for (const auto& port : w32::EnumerateSerialPorts())
        ui->cbPort->addItem(QString::fromStdString(port.byId.empty() ? port.device : port.byId));
    ui->cbPort->setCurrentIndex(0);

    Comm321 = new TComm32(this);
    Comm321->setObjectName(QStringLiteral("Comm321"));
    Comm321->SetBaudRate(9600);
    Comm321->SetByteSize(8);
    Comm321->SetParity(0);
    Comm321->SetStopBits(0);
    Comm321->SetCommPort(QStringLiteral("COM1"));
    Comm321->SetOnReceiveData(ReceiveDataMethod(this, &TForm1::Comm321ReceiveData));
    Comm321->SetOnRequestHangup(NotifyMethod(this, &TForm1::Comm321RequestHangup));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(200);

    connect(ui->btnOpen, &QPushButton::clicked, this, &TForm1::btnOpenClick);
    connect(ui->btnClose, &QPushButton::clicked, this, &TForm1::btnCloseClick);
    connect(ui->btnTest, &QPushButton::clicked, this, &TForm1::btnTestClick);
    connect(ui->btnReadType, &QPushButton::clicked, this, &TForm1::btnReadTypeClick);
    connect(ui->btnSetType, &QPushButton::clicked, this, &TForm1::btnSetTypeClick);
    connect(ui->btnReadAdd, &QPushButton::clicked, this, &TForm1::btnReadAddClick);
    connect(ui->btnWriteAdd, &QPushButton::clicked, this, &TForm1::btnWriteAddClick);
    connect(ui->Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);

    FormCreate();
}

TForm1::~TForm1() {
    // The workers must end before their owner goes.
    try {
        Comm321->StopComm();
    } catch (...) {
    }
    delete ui;
}

void TForm1::FormCreate() {
    UpdateButtons();
}

void TForm1::FormShow() {
    ui->cbPort->setCurrentIndex(0);
    ui->cbTypes->setCurrentIndex(0);
    ui->seAddress->SetValue(1);
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownOnce_) return;
    shownOnce_ = true;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    FormShow();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // Stop the port so that the workers end before the program does.
    try {
        Comm321->StopComm();
    } catch (...) {
    }
    FPortOpen = false;
    event->accept();
}

void TForm1::UpdateButtons() {
    ui->btnTest->setEnabled(FPortOpen);
    ui->btnSetType->setEnabled(FPortOpen);
    ui->btnReadType->setEnabled(FPortOpen);
    ui->btnReadAdd->setEnabled(FPortOpen);
    ui->btnWriteAdd->setEnabled(FPortOpen);
}

void TForm1::btnOpenClick() {
    Comm321->StopComm();
    Comm321->SetCommPort(ui->cbPort->currentText());
    Comm321->SetBaudRate(9600);
    Comm321->SetTimeouts(100, 10, 2, 10, 2);
    try {
        Comm321->StartComm();
        FPortOpen = true;
    } catch (...) {
        FPortOpen = false;
    }
    UpdateButtons();
}

void TForm1::btnCloseClick() {
    Comm321->StopComm();
    FPortOpen = false;
    UpdateButtons();
}

void TForm1::SendRequest(NuvOperation operation) {
    FillRequest(FTxFrame, operation,
                {ui->seAddress->Value(), ui->seNew->Value(), ui->cbTypes->currentIndex()});
    Comm321->WriteCommData(FTxFrame.data(), static_cast<std::uint16_t>(kFrameSize));
    FMessage = QStringLiteral("Send : ") + QString::fromStdString(FrameToHex(FTxFrame));
    ui->ListBox1->addItem(FMessage);
    FSendTick = w32::GetTickCount();
    if (!Timer1->isActive()) Timer1->start();
}

void TForm1::btnTestClick() {
    SendRequest(NuvOperation::Test);
}
void TForm1::btnReadTypeClick() {
    SendRequest(NuvOperation::ReadType);
}
void TForm1::btnSetTypeClick() {
    SendRequest(NuvOperation::WriteType);
}
void TForm1::btnReadAddClick() {
    SendRequest(NuvOperation::ReadAddress);
}
void TForm1::btnWriteAddClick() {
    SendRequest(NuvOperation::WriteAddress);
}

void TForm1::Comm321ReceiveData(void* Buffer, std::uint16_t BufferLength) {
    if (!AcceptReply(static_cast<const std::uint8_t*>(Buffer), BufferLength, FTxFrame, FRxFrame))
        return;
    Timer1->stop();
    FMessage = QStringLiteral("Read : ") + QString::fromStdString(FrameToHex(FRxFrame));
    ui->ListBox1->addItem(FMessage);
    const ReplyOutcome outcome = OutcomeFor(FTxFrame[2], FRxFrame);
    if (outcome.text) FMessage = QString::fromStdString(*outcome.text);
    if (outcome.typeText) ui->EditType->setText(QString::fromStdString(*outcome.typeText));
    if (outcome.address) {
        ui->seAddress->SetValue(*outcome.address);
        ui->seOld->SetValue(*outcome.address);
    }
    ShowBox(this, BoxKind::Information, FMessage);
}

void TForm1::Comm321RequestHangup(QObject*) {
    Comm321->RestartComm();
}

void TForm1::Timer1Timer() {
    const w32::DWORD elapsed = w32::GetTickCount() - FSendTick;
    if (elapsed > 1500) {
        Timer1->stop();
        FMessage = QStringLiteral(
            "Communication Failed,Please Check Serial Port,NUV Address and Commnuication Line!");
        ShowBox(this, BoxKind::Warning, FMessage);
    }
}

void TForm1::Button1Click() {
    close();
}
