// Waiting on the GUI thread while the windows stay alive: events are handled,
// user input is dropped, a pause ends early when asked.
#include <chrono>

#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "runtime/Application.h"
#include "runtime/BusyWait.h"

class BusyWaitTest : public QObject {
  Q_OBJECT

  // Clicks the button and presses Space on it, as the desktop delivers them.
  static void PressAsAUser(QPushButton& button) {
    QTest::mouseClick(button.windowHandle(), Qt::LeftButton, Qt::NoModifier, button.rect().center());
    QTest::keyClick(button.windowHandle(), Qt::Key_Space);
  }

 private slots:
  void aPauseHandlesEventsDropsInputAndEndsWhenAsked() {
    QPushButton button(QStringLiteral("Press"));
    button.resize(100, 30);
    button.show();
    QVERIFY(QTest::qWaitForWindowActive(&button));
    button.setFocus();
    int clicks = 0;
    connect(&button, &QPushButton::clicked, [&] { ++clicks; });

    bool stop = false, timerRan = false;
    QTimer::singleShot(0, [&] {
      timerRan = true;
      PressAsAUser(button);
      stop = true;
    });
    const auto start = std::chrono::steady_clock::now();
    PauseWithoutInput(60000, [&] { return stop; });
    // Asked to stop, it returned far before the minute was over.
    QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::seconds(30));
    QVERIFY(timerRan);
    QCOMPARE(clicks, 0);

    // Afterwards input reaches the button again, and nothing dropped comes late.
    PressAsAUser(button);
    QCOMPARE(clicks, 2);
  }

  void handlingWaitingEventsDropsInputToo() {
    QPushButton button(QStringLiteral("Press"));
    button.show();
    QVERIFY(QTest::qWaitForWindowActive(&button));
    button.setFocus();
    int clicks = 0;
    connect(&button, &QPushButton::clicked, [&] { ++clicks; });
    bool timerRan = false;
    QTimer::singleShot(0, [&] {
      timerRan = true;
      PressAsAUser(button);
    });
    ProcessEventsWithoutInput();
    QVERIFY(timerRan);
    QCOMPARE(clicks, 0);
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  BusyWaitTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "BusyWaitTest.moc"
