#include <gtest/gtest.h>
#include <time.h>

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <memory>

#include "Boxes.h"
#include "EventLoop.h"
#include "Main.h"
#include "Pty.h"
#include "SimProcess.h"
#include "SpinEdit.h"
#include "Win32.h"

using Clock = std::chrono::steady_clock;

namespace {

struct Box {
    BoxKind kind;
    QString text;
    Clock::time_point at;
};

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        blocksBefore = w32::OutstandingLocalBlocks();
        SetBoxObserver([this](BoxKind kind, const QString& text) {
            boxes.push_back({kind, text, Clock::now()});
            return true;
        });
        form = std::make_unique<TForm1>();
        ShowDispatchErrorsIn(form.get());
        form->show();
    }
    void TearDown() override {
        form.reset();
        SetBoxObserver(nullptr);
        w32::SetApplicationExceptionHandler(nullptr);
        w32::ResetTickCountForTesting();
        PumpUntil([] { return false; }, 20);
        EXPECT_EQ(w32::OutstandingLocalBlocks(), blocksBefore);
    }

    template <class T>
    T* Find(const char* name) {
        T* w = form->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void Click(const char* name) {
        auto* b = Find<QPushButton>(name);
        ASSERT_TRUE(b->isEnabled()) << name;
        QTest::mouseClick(b, Qt::LeftButton);
    }
    void OpenPort(const std::string& name) {
        Find<QComboBox>("cbPort")->setEditText(QString::fromStdString(name));
        Click("btnOpen");
    }
    bool CommandsEnabled(bool expected) {
        for (const char* n : {"btnTest", "btnReadType", "btnSetType", "btnReadAdd", "btnWriteAdd"})
            if (Find<QPushButton>(n)->isEnabled() != expected) return false;
        return true;
    }
    bool AwaitBoxes(std::size_t n, int ms = 10000) {
        return PumpUntil([&] { return boxes.size() >= n; }, ms);
    }
    // The frame nuv-sim says it received last, as hex text.
    std::string SimReceived(SimProcess& sim) {
        for (;;) {
            const std::string line = sim.ReadLine(3000);
            if (line.empty()) return {};
            const auto rx = line.find("] RX");
            if (rx != std::string::npos) {
                const auto bar = line.find(" |", rx);
                return line.substr(rx + 4, bar - rx - 4);
            }
        }
    }
    // Presses Test on a silent line: the warning comes at the first tick past 1500 ms.
    void ExpectTestToWarnInTime() {
        const auto sent = Clock::now();
        Click("btnTest");
        ASSERT_TRUE(AwaitBoxes(1));
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(boxes[0].at - sent).count();
        EXPECT_EQ(boxes[0].kind, BoxKind::Warning);
        EXPECT_GT(ms, 1500);
        EXPECT_LT(ms, 2500);
    }
    QStringList ListLines() {
        QStringList out;
        auto* list = Find<QListWidget>("ListBox1");
        for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
        return out;
    }

    long blocksBefore = 0;
    std::unique_ptr<TForm1> form;
    std::vector<Box> boxes;
};

TEST_F(DialogTest, StartsWithTheDesignTimeSettings) {
    EXPECT_EQ(form->windowTitle(), "Setting NUV device type & address");
    EXPECT_EQ(form->size(), QSize(563, 257));
    EXPECT_EQ(form->objectName(), "Form1");
    EXPECT_TRUE(CommandsEnabled(false));
    EXPECT_EQ(Find<QComboBox>("cbPort")->currentText(), "COM1");
    EXPECT_EQ(Find<QComboBox>("cbPort")->itemText(1), "COM2");
    EXPECT_EQ(Find<QComboBox>("cbTypes")->currentText(), "6Points(Digital In)");
    EXPECT_EQ(Find<QComboBox>("cbTypes")->count(), 6);
    EXPECT_EQ(Find<TSpinEdit>("seAddress")->Value(), 1);
    EXPECT_EQ(Find<TSpinEdit>("seOld")->Value(), 0);
    EXPECT_FALSE(Find<QListWidget>("ListBox1")->isVisible());
    EXPECT_EQ(form->findChild<QLabel*>("Label3")->text(), "Setting NUV device type & address");
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(form->Timer1->interval(), 200);
    // Keyboard focus order.
    const char* order[] = {"cbPort",     "seAddress", "btnOpen",     "btnClose",    "cbTypes",
                           "btnSetType", "btnTest",   "EditType",    "btnReadType", "btnReadAdd",
                           "seNew",      "seOld",     "btnWriteAdd", "Button1"};
    QStringList names;
    for (const char* n : order) names << n;
    QStringList chain;
    QWidget* start = form->findChild<QWidget*>("cbPort");
    QWidget* w = start;
    do {
        // Inner editors of composite fields carry no name of the form's.
        QWidget* named = w;
        while (named && !names.contains(named->objectName())) named = named->parentWidget();
        if (named && named != form.get() &&
            (chain.isEmpty() || chain.back() != named->objectName()))
            chain << named->objectName();
        w = w->nextInFocusChain();
    } while (w && w != start && chain.size() < 40);
    EXPECT_EQ(chain.mid(0, names.size()).join(","), names.join(","));
}

TEST_F(DialogTest, OpenEnablesCommandsCloseDisablesThem) {
    SimProcess sim({"--quiet"});
    OpenPort(sim.Link());
    EXPECT_TRUE(form->PortOpen());
    EXPECT_TRUE(CommandsEnabled(true));
    const auto firstHandle = form->Comm321->CommHandle();
    OpenPort(sim.Link());  // reopens
    EXPECT_TRUE(CommandsEnabled(true));
    EXPECT_NE(form->Comm321->CommHandle(), 0u);
    EXPECT_NE(form->Comm321->CommHandle(), firstHandle);
    Click("btnClose");
    EXPECT_TRUE(CommandsEnabled(false));
    EXPECT_EQ(form->Comm321->CommHandle(), 0u);
}

TEST_F(DialogTest, OpenOnAPortThatCannotBeOpenedShowsNothing) {
    OpenPort("/dev/nuv-no-such-port");
    EXPECT_FALSE(form->PortOpen());
    EXPECT_TRUE(CommandsEnabled(false));
    PumpUntil([] { return false; }, 50);
    EXPECT_TRUE(boxes.empty());
    OpenPort("/dev/nuv-no-such-port");  // again at once
    EXPECT_TRUE(CommandsEnabled(false));
}

struct Operation {
    const char* button;
    NuvOperation op;
    const char* text;
};

TEST_F(DialogTest, EachOperationSendsItsFrameAndShowsItsAnswer) {
    SimProcess sim({"--device", "1:3", "--delay", "1"});
    OpenPort(sim.Link());
    Find<QComboBox>("cbTypes")->setCurrentIndex(3);
    Find<TSpinEdit>("seNew")->SetValue(1);  // the device keeps answering at 1 until a reset
    const Operation ops[] = {
        {"btnTest", NuvOperation::Test, "Ok to test NUV !"},
        {"btnReadType", NuvOperation::ReadType, "Ok to read NUV Type!"},
        {"btnSetType", NuvOperation::WriteType, "Ok to write NUV type!"},
        {"btnReadAdd", NuvOperation::ReadAddress, "Ok to read NUV Address!"},
        {"btnWriteAdd", NuvOperation::WriteAddress,
         "Ok to write NUV Address,Please reset NUV device!!"},
        {"btnTest", NuvOperation::Test, "Ok to test NUV !"},
    };
    DeviceFrame expected{};
    std::size_t n = 0;
    for (const auto& o : ops) {
        SCOPED_TRACE(o.button);
        FillRequest(expected, o.op, {1, 1, 3});
        Click(o.button);
        EXPECT_EQ(SimReceived(sim), FrameToHex(expected))
            << "the frame, carried-over bytes included";
        ASSERT_TRUE(AwaitBoxes(++n));
        EXPECT_EQ(boxes.back().kind, BoxKind::Information);
        EXPECT_EQ(boxes.back().text, o.text);
        EXPECT_EQ(form->TxFrame(), expected);
        if (o.op == NuvOperation::ReadType) {
            EXPECT_EQ(Find<QLineEdit>("EditType")->text(), "10Points(Digital In)");
        }
        if (o.op == NuvOperation::ReadAddress) {
            EXPECT_EQ(Find<TSpinEdit>("seAddress")->Value(), 1);
            EXPECT_EQ(Find<TSpinEdit>("seOld")->Value(), 1);
        }
    }
    EXPECT_EQ(ListLines().size(), 12) << "one line per send and per accepted reply";
    EXPECT_TRUE(ListLines()[0].startsWith("Send :  AA 01 09"));
    EXPECT_TRUE(ListLines()[1].startsWith("Read :  AA 01 09"));
    EXPECT_FALSE(form->Timer1->isActive());
}

TEST_F(DialogTest, ReadTypeFailureAndAddress255FromACraftedPeer) {
    PtyPair peer;
    OpenPort(peer.SlavePath());
    Click("btnReadType");
    peer.Read(26);
    DeviceFrame reply{};
    reply[0] = 0xAA;
    reply[1] = 1;
    reply[3] = 2;
    reply[25] = CheckSum(reply);
    peer.Write({reply.begin(), reply.end()});
    ASSERT_TRUE(AwaitBoxes(1));
    EXPECT_EQ(boxes[0].text, "Failed to read NUV Type !");
    EXPECT_EQ(Find<QLineEdit>("EditType")->text(), "Unknown NUV Type !");

    Click("btnReadAdd");
    peer.Read(26);
    reply = {};
    reply[0] = 0xAA;
    reply[1] = 255;
    reply[25] = CheckSum(reply);
    peer.Write({reply.begin(), reply.end()});
    ASSERT_TRUE(AwaitBoxes(2));
    EXPECT_EQ(boxes[1].text, "Ok to read NUV Address!");
    EXPECT_EQ(Find<TSpinEdit>("seAddress")->Value(), 255);
    EXPECT_EQ(Find<TSpinEdit>("seOld")->Value(), 254);
}

TEST_F(DialogTest, MissingReplyWarnsAboutOnePointSixSecondsAfterTheSend) {
    SimProcess sim({"--fault", "silent", "--quiet"});
    OpenPort(sim.Link());
    ExpectTestToWarnInTime();
    EXPECT_EQ(boxes[0].text,
              "Communication Failed,Please Check Serial Port,NUV Address and Commnuication Line!");
    EXPECT_FALSE(form->Timer1->isActive());
}

TEST_F(DialogTest, TwoSendsASecondApartWarnOnceAfterTheSecond) {
    SimProcess sim({"--fault", "silent", "--quiet"});
    OpenPort(sim.Link());
    Click("btnTest");
    RunEventLoopFor(1000);
    EXPECT_TRUE(form->Timer1->isActive());
    const auto second = Clock::now();
    Click("btnReadType");
    ASSERT_TRUE(AwaitBoxes(1));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(boxes[0].at - second).count();
    EXPECT_GT(ms, 1500);
    EXPECT_LT(ms, 2500);
    RunEventLoopFor(500);
    EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(DialogTest, SpinFieldsStepClampAndReadBadTextAsTheLowerLimit) {
    auto* address = Find<TSpinEdit>("seAddress");  // no limits
    auto* newAddress = Find<TSpinEdit>("seNew");   // 0 to 254
    address->SetValue(1000);
    EXPECT_EQ(address->Value(), 1000);
    address->SetValue(-7);
    EXPECT_EQ(address->Value(), -7);
    newAddress->SetValue(300);
    EXPECT_EQ(newAddress->Value(), 254);
    newAddress->SetValue(-5);
    EXPECT_EQ(newAddress->Value(), 0);

    newAddress->SetValue(5);
    newAddress->setFocus();
    QTest::keyClick(newAddress, Qt::Key_Up);
    EXPECT_EQ(newAddress->Value(), 6);
    QTest::keyClick(newAddress, Qt::Key_Down);
    QTest::keyClick(newAddress, Qt::Key_Down);
    EXPECT_EQ(newAddress->Value(), 4);

    auto* editor = newAddress->findChild<QLineEdit*>();
    editor->selectAll();
    QTest::keyClicks(editor, "999");
    EXPECT_EQ(newAddress->Value(), 999) << "not clamped while typing";
    QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(newAddress, &leave);  // leaving the field clamps what was typed
    EXPECT_EQ(newAddress->Value(), 254);

    editor->clear();
    EXPECT_EQ(newAddress->Value(), 0) << "empty reads as the lower limit";
    address->findChild<QLineEdit*>()->setText("-");
    EXPECT_EQ(address->Value(), 0) << "not a whole number";
}

TEST_F(DialogTest, ClosingThePortDuringTheWaitStillWarns) {
    SimProcess sim({"--fault", "silent", "--quiet"});
    OpenPort(sim.Link());
    Click("btnTest");
    Click("btnClose");
    ASSERT_TRUE(AwaitBoxes(1));
    EXPECT_EQ(boxes[0].kind, BoxKind::Warning);
}

TEST_F(DialogTest, ReplyAfterTheWarningIsStillShown) {
    SimProcess sim({"--fault", "late", "--quiet"});
    OpenPort(sim.Link());
    Click("btnTest");
    ASSERT_TRUE(AwaitBoxes(2));
    EXPECT_EQ(boxes[0].kind, BoxKind::Warning);
    EXPECT_EQ(boxes[1].kind, BoxKind::Information);
    EXPECT_EQ(boxes[1].text, "Ok to test NUV !");
}

TEST_F(DialogTest, SplitAndWrongAddressRepliesAreDropped) {
    for (const char* fault : {"split", "wrong-address", "bad-checksum"}) {
        SCOPED_TRACE(fault);
        boxes.clear();
        SimProcess sim({"--fault", fault, "--quiet"});
        OpenPort(sim.Link());
        Click("btnTest");
        ASSERT_TRUE(AwaitBoxes(1));
        EXPECT_EQ(boxes[0].kind, BoxKind::Warning);
        EXPECT_EQ(ListLines().filter("Read :").size(), 0);
    }
}

TEST_F(DialogTest, EmptyAddressFieldSendsAddressZero) {
    SimProcess sim({"--device", "0:1", "--delay", "1"});
    OpenPort(sim.Link());
    auto* address = Find<TSpinEdit>("seAddress");
    address->findChild<QLineEdit*>()->clear();
    EXPECT_EQ(address->Value(), 0);
    Click("btnTest");
    DeviceFrame expected{};
    FillRequest(expected, NuvOperation::Test, {0, 0, 0});
    EXPECT_EQ(SimReceived(sim), FrameToHex(expected));
    ASSERT_TRUE(AwaitBoxes(1));
    EXPECT_EQ(boxes[0].text, "Ok to test NUV !");
}

TEST_F(DialogTest, WaitAcrossTheTickWrap) {
    w32::SetTickCountForTesting(0xFFFFFFFFu - 300);
    SimProcess sim({"--fault", "silent", "--quiet"});
    OpenPort(sim.Link());
    ExpectTestToWarnInTime();
}

TEST_F(DialogTest, RestartFailureIsShownInAnErrorBoxAndTheProgramGoesOn) {
    SimProcess sim({"--quiet"});
    OpenPort(sim.Link());
    w32::FailNextThreadCreations(1);
    w32::PostMessageA(form->Comm321->NotifyWnd(), w32::WM_USER + 2, 0, 0);
    ASSERT_TRUE(AwaitBoxes(1));
    EXPECT_EQ(boxes[0].kind, BoxKind::Error);
    EXPECT_EQ(boxes[0].text, "不能建立读线程!");
    OpenPort(sim.Link());
    EXPECT_TRUE(form->PortOpen());
}

TEST_F(DialogTest, ClosingTheDialogStopsThePort) {
    SimProcess sim({"--quiet"});
    OpenPort(sim.Link());
    ASSERT_NE(form->Comm321->CommHandle(), 0u);
    Click("Button1");
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->Comm321->CommHandle(), 0u);
}

TEST_F(DialogTest, PulledAdapterLeavesTheDialogQuietAndOpenWorksOnceItIsBack) {
    {
        SimProcess sim({"--fault", "hangup", "--quiet"});
        OpenPort(sim.Link());
        Click("btnTest");
        sim.Wait();
    }
    ASSERT_TRUE(PumpUntil([&] { return form->Comm321->ReadThread() == nullptr; }));
    timespec a{}, b{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
    RunEventLoopFor(2000);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
    EXPECT_LT((b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9, 0.1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].kind, BoxKind::Warning) << "the missing reply is reported";

    SimProcess back({"--delay", "1", "--quiet"});
    OpenPort(back.Link());
    Click("btnTest");
    ASSERT_TRUE(AwaitBoxes(2));
    EXPECT_EQ(boxes[1].text, "Ok to test NUV !");
}

TEST(DialogRealBoxes, ABoxIsClosedAsAPersonWould) {
    SimProcess sim({"--delay", "1", "--quiet"});
    TForm1 form;
    form.show();
    form.findChild<QComboBox*>("cbPort")->setEditText(QString::fromStdString(sim.Link()));
    QTest::mouseClick(form.findChild<QPushButton*>("btnOpen"), Qt::LeftButton);
    QString seen;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen = box->windowTitle() + ": " + box->text();
            QTest::keyClick(box, Qt::Key_Return);
        }
    });
    closer.start(20);
    QTest::mouseClick(form.findChild<QPushButton*>("btnTest"), Qt::LeftButton);
    EXPECT_TRUE(PumpUntil([&] { return !seen.isEmpty(); }));
    EXPECT_EQ(seen, "Information: Ok to test NUV !");
    EXPECT_TRUE(PumpUntil([&] { return QApplication::activeModalWidget() == nullptr; }));
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
