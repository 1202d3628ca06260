// The application object's unhandled-exception event: what reaches it from
// real events, with which sender, and what happens without it.
#include <stdexcept>
#include <string>

#include <QEvent>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include "base/Demangle.h"
#include "base/Exceptions.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"

namespace {

struct TBaseError {
  virtual ~TBaseError() = default;
};
struct TDerivedError : TBaseError {};
struct TPlainThing {
  int Value;
};

// An object whose own event handler lets an exception escape into the
// application's delivery of the event.
class TThrowingObject : public QObject {
 protected:
  void customEvent(QEvent*) override { throw Exception("from customEvent"); }
};

// What the event saw.
struct TSeen {
  int Calls = 0;
  QObject* Sender = nullptr;
  std::string Message;
  std::string ThrownClass;
  std::string ThrownParent;
};

TApplication::TExceptionEvent Recorder(TSeen& seen) {
  return [&seen](QObject* sender, const std::exception& e) {
    ++seen.Calls;
    seen.Sender = sender;
    seen.Message = e.what();
    if (auto* unknown = dynamic_cast<const EUnknownException*>(&e)) {
      seen.ThrownClass = unknown->ThrownClass;
      seen.ThrownParent = unknown->ThrownParent;
    }
  };
}

}  // namespace

class ApplicationTest : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    Application->OnException = nullptr;
    TMessageBox::ClearHistory();
  }

  void aClickWhoseHandlerThrowsNamesTheControl() {
    TSeen seen;
    Application->OnException = Recorder(seen);
    QWidget form;
    auto* button = new QPushButton(QStringLiteral("Raise"), &form);
    button->setObjectName(QStringLiteral("btnRaise"));
    QObject::connect(button, &QPushButton::clicked, &form,
                     [] { Application->Guard([] { throw Exception("Raised\r\nsecond line"); }); });
    auto* list = new QListWidget(&form);
    list->setGeometry(0, 40, 100, 60);
    list->addItem(QStringLiteral("row"));
    QObject::connect(list, &QListWidget::itemDoubleClicked, &form,
                     [] { Application->Guard([] { throw Exception("Raised"); }); });
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(seen.Calls, 1);
    QCOMPARE(seen.Sender, static_cast<QObject*>(button));
    QCOMPARE(seen.Message, std::string("Raised\r\nsecond line"));
    // The space key clicks it too, through a key event to the button.
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Space);
    QCOMPARE(seen.Calls, 2);
    QCOMPARE(seen.Sender, static_cast<QObject*>(button));
    // An item view's inner viewport gets the mouse; the control is the view.
    const QPoint at = list->visualItemRect(list->item(0)).center();
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    QCOMPARE(seen.Calls, 3);
    QCOMPARE(seen.Sender, static_cast<QObject*>(list));
    QVERIFY(TMessageBox::History().empty());
  }

  void anExceptionLeavingAnEventHandlerIsCaughtByTheDelivery() {
    TSeen seen;
    Application->OnException = Recorder(seen);
    TThrowingObject target;
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&target, &event);
    QCOMPARE(seen.Calls, 1);
    QCOMPARE(seen.Sender, static_cast<QObject*>(&target));
    QCOMPARE(seen.Message, std::string("from customEvent"));
    QCOMPARE(Application->EventReceiver(), static_cast<QObject*>(nullptr));  // outside delivery again
  }

  void theSenderIsTheGivenOneOrNoneOnceItIsGone() {
    TSeen seen;
    Application->OnException = Recorder(seen);
    QObject given;
    Application->Guard(&given, [] { throw Exception("x"); });
    QCOMPARE(seen.Sender, &given);
    Application->Guard([] { throw Exception("x"); });
    QCOMPARE(seen.Sender, static_cast<QObject*>(nullptr));  // no event is being delivered
    auto* doomed = new QObject;
    Application->Guard(doomed, [doomed] {
      delete doomed;
      throw Exception("x");
    });
    QCOMPARE(seen.Calls, 3);
    QCOMPARE(seen.Sender, static_cast<QObject*>(nullptr));
  }

  void theSilentAbortIsPassedOver() {
    TSeen seen;
    Application->OnException = Recorder(seen);
    Application->Guard([] { Abort(); });
    QCOMPARE(seen.Calls, 0);
    Application->OnException = nullptr;
    Application->Guard([] { Abort(); });
    QVERIFY(TMessageBox::History().empty());
  }

  void withoutTheEventTheMessageIsShownInAnErrorBox() {
    Application->Guard([] { throw std::runtime_error("Plain failure"); });
    QCOMPARE(TMessageBox::History().size(), std::size_t(1));
    QCOMPARE(TMessageBox::History()[0].Text, std::string("Plain failure"));
    QCOMPARE(TMessageBox::History()[0].Caption, Application->Title());
    QVERIFY(TMessageBox::History()[0].Icon == TMsgIcon::Error);
  }

  void theEventIsReadReplacedAndRestored() {
    TSeen first, second;
    Application->OnException = Recorder(first);
    const TApplication::TExceptionEvent saved = Application->OnException;
    Application->OnException = Recorder(second);
    Application->Guard([] { throw Exception("x"); });
    Application->OnException = saved;
    Application->Guard([] { throw Exception("x"); });
    QCOMPARE(first.Calls, 1);
    QCOMPARE(second.Calls, 1);
  }

  void whatIsNoStdExceptionArrivesWithItsType_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("thrownClass");
    QTest::addColumn<QString>("thrownParent");
    const QString anon = QStringLiteral("(anonymous namespace)::");
    QTest::newRow("int") << 0 << "42"
                         << "int"
                         << "<N/A>";
    QTest::newRow("text") << 1 << "Thrown text"
                          << "char const*"
                          << "<N/A>";
    QTest::newRow("string") << 2 << "Thrown string" << QString::fromStdString(Demangle(typeid(std::string).name()))
                            << "<N/A>";
    QTest::newRow("class") << 3 << "Unknown exception" << anon + "TDerivedError" << anon + "TBaseError";
    QTest::newRow("struct") << 4 << "Unknown exception" << anon + "TPlainThing"
                            << "<N/A>";
    QTest::newRow("unsigned long") << 5 << "18446744073709551615"
                                   << "unsigned long"
                                   << "<N/A>";
  }
  void whatIsNoStdExceptionArrivesWithItsType() {
    QFETCH(int, kind);
    QFETCH(QString, message);
    QFETCH(QString, thrownClass);
    QFETCH(QString, thrownParent);
    TSeen seen;
    Application->OnException = Recorder(seen);
    Application->Guard([kind] {
      switch (kind) {
        case 0:
          throw 42;
        case 1:
          throw "Thrown text";
        case 2:
          throw std::string("Thrown string");
        case 3:
          throw TDerivedError();
        case 4:
          throw TPlainThing{1};
        default:
          throw static_cast<unsigned long>(-1);
      }
    });
    QCOMPARE(seen.Calls, 1);
    QCOMPARE(QString::fromStdString(seen.Message), message);
    QCOMPARE(QString::fromStdString(seen.ThrownClass), thrownClass);
    QCOMPARE(QString::fromStdString(seen.ThrownParent), thrownParent);
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  app.SetTitle("ApplicationTest");
  TMessageBox::SetAutoAnswer(true);
  ApplicationTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ApplicationTest.moc"
