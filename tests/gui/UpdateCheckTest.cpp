// The update check, the results, the history window and the download,
// through the real widgets against servers started here on loopback: the
// reference update server for what a real server says, the fault server for
// what a broken one does, and nginx serving the reference server's static
// export for what the maker's web server says.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>
#include <QTimer>
#include <QToolTip>
#include <QtTest>

#include "app/F_History.h"
#include "app/F_Main.h"
#include "app/WizardLook.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "tests/support/DelayProxy.h"
#include "tests/support/FaultServer.h"
#include "tests/support/NginxProcess.h"
#include "tests/support/TempDir.h"
#include "tools/update-server/StaticExport.h"
#include "tools/update-server/UpdateServer.h"

namespace {
struct TProductSpec {
  std::string Id, Title, Version, Date;  // Date as DD/MM/YYYY
  int Mode = 0;
  std::string Code = "C";
};

std::string DescriptorText(const TProductSpec& p) {
  return "[Product]\r\nID=" + p.Id + "\r\nMODE=" + std::to_string(p.Mode) + "\r\nVERSION=" + p.Version +
         "\r\nTITLE=" + p.Title + "\r\nCODE=" + p.Code + "\r\nDAY=" + p.Date.substr(0, 2) +
         "\r\nMONTH=" + p.Date.substr(3, 2) + "\r\nYEAR=" + p.Date.substr(6, 4) + "\r\n";
}

QStringList Rows(QListWidget* list) {
  QStringList rows;
  for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
  return rows;
}

// What a double click on row `row` shows: the caption and the text.
std::pair<QString, QString> HistoryOf(TfmMain& form, int row) {
  form.lstNew->setCurrentRow(row);
  std::pair<QString, QString> shown;
  QTimer poll;
  poll.setInterval(20);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!fmHistory->isVisible()) return;
    shown = {fmHistory->windowTitle(), fmHistory->Memo->toPlainText()};
    fmHistory->btnClose->click();
    poll.stop();
  });
  poll.start();
  const QPoint at = form.lstNew->visualItemRect(form.lstNew->item(row)).center();
  // An item view takes a double click only after a press on the same item.
  QTest::mousePress(form.lstNew->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseRelease(form.lstNew->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(form.lstNew->viewport(), Qt::LeftButton, {}, at);
  return shown;
}
// Presses a key on a window as the desktop delivers it: to the window, which
// hands it to its focused control.
void PressKey(QWidget* window, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QTest::keyClick(window->windowHandle(), key, modifiers);
}

// Runs `whileShown` once the history window shows (from inside its modal
// display), while `open` is what opens it.
void WhileHistoryShows(const std::function<void()>& open, const std::function<void()>& whileShown) {
  QTimer poll;
  poll.setInterval(20);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!fmHistory->isVisible()) return;
    poll.stop();
    whileShown();
  });
  poll.start();
  open();
}

// Counts what reaches the widgets it watches: paints, and user input while
// Counting is on.
class TEventSpy : public QObject {
 public:
  int Paints = 0, Input = 0;
  bool Counting = false;
  void Watch(QWidget* form) {
    form->installEventFilter(this);
    for (QWidget* w : form->findChildren<QWidget*>()) w->installEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* e) override {
    switch (e->type()) {
      case QEvent::Paint:
        ++Paints;
        break;
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
        Input += Counting;
        break;
      default:
        break;
    }
    return false;
  }
};

// A close request as the desktop makes it (the window manager's close box).
void RequestClose(QWidget* window) {
  window->windowHandle()->close();
}

// A stand-in for the desktop's opener, first on PATH while it lives: it
// records each document it is given and exits with `exitCode`.
class TOpenerOnPath {
 public:
  explicit TOpenerOnPath(int exitCode) : FOldPath(qgetenv("PATH")) {
    FBin.Write("xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + FBin.File("opened.txt") + "'\nexit " +
                               std::to_string(exitCode) + "\n");
    ::chmod(FBin.File("xdg-open").c_str(), 0755);
    qputenv("PATH", QByteArray::fromStdString(FBin.Path()) + ":" + FOldPath);
  }
  ~TOpenerOnPath() { qputenv("PATH", FOldPath); }
  std::string Opened() const { return ReadWholeFile(FBin.File("opened.txt")); }

 private:
  TTempDir FBin;
  QByteArray FOldPath;
};
}  // namespace

namespace {
// How a row of brokenRepliesEachHaveTheirOutcome spoils the good replies.
enum class TReplyFault {
  None,  // the record wrapped in markup, as a web page sends it
  RecordWithoutMarker,
  RecordWithADateFirst,
  RecordWithAnImpossibleDate,
  PointerWithOneMarker,
  PointerToAFileUrl,
  PointerToGarbage,
  HistoryCut,
  RecordCut,
  HistoryRedirectedToAFileUrl,
  OversizedHistory,
};
}  // namespace
Q_DECLARE_METATYPE(TReplyFault)

class UpdateCheckTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TTempDir> Descriptors, Catalogue;
  std::unique_ptr<TUpdateServer> Server;
  std::unique_ptr<TfmMain> Form;
  int CatalogueFiles = 0;

  // A product the reference server knows, and the descriptor of its
  // installed version.
  void Offer(const std::string& id, const std::string& date, const std::string& version,
             const std::string& history = "History of the product.\r\nSecond line.") {
    const std::string n = std::to_string(CatalogueFiles++);
    Catalogue->Write(n + ".txt", history);
    Catalogue->Write(n + ".product", "id=" + id + "\r\ndate=" + date + "\r\nversion=" + version + "\r\nhistory=" + n +
                                         ".txt\r\ndownload=http://127.0.0.1/d\r\n");
  }
  void Install(const TProductSpec& p) {
    Descriptors->Write(p.Id.empty() ? "noid.ini" : p.Id + ".ini", DescriptorText(p));
  }
  void StartServer() {
    Server = std::make_unique<TUpdateServer>(TCatalogue::Load(Catalogue->Path()));
    Server->Start("127.0.0.1", 0);
    qputenv("BREVANT_UPDATE_SERVER", QByteArray::fromStdString(Server->BaseUrl()));
  }
  TfmMain& RunCheck() {
    Form = std::make_unique<TfmMain>(Descriptors->Path());
    Form->show();
    Form->btnNextClick();
    return *Form;
  }
  // What the wizard shows after its check against the server at `baseUrl`,
  // one line per fact: the page, the step and error marks, the results with
  // their ticks and tags, and every product's latest values and history.
  QStringList CheckAgainst(const std::string& baseUrl) {
    qputenv("BREVANT_UPDATE_SERVER", QByteArray::fromStdString(baseUrl));
    Form = std::make_unique<TfmMain>(Descriptors->Path());
    for (int place = 0; place < ProductCount; ++place) {
      const std::size_t out = TProductTable::Latest(place);
      Products.Version[out] = Products.History[out] = "";
      Products.Day[out] = Products.Month[out] = Products.Year[out] = 0;
    }
    Form->show();
    Form->btnNextClick();
    TfmMain& f = *Form;
    QStringList seen{"page " + f.ActivePage()};
    for (QWidget* w : std::initializer_list<QWidget*>{f.check1, f.check2, f.check3, f.check4, f.lb1, f.lb2, f.lb3,
                                                      f.lb4, f.lbErr1, f.lbErr2, f.lbErr3, f.lbAllOK, f.btnExitCheck})
      seen << w->objectName() + (w->isHidden() ? " hidden" : " shown");
    for (int i = 0; i < f.lstNew->count(); ++i)
      seen << QString("row %1 [%2] place %3")
                  .arg(f.lstNew->item(i)->text())
                  .arg(f.lstNew->item(i)->checkState() == Qt::Checked ? "x" : " ")
                  .arg(f.lstNew->item(i)->data(Qt::UserRole).toInt());
    seen << QString("download %1").arg(f.btnDownload->isEnabled() ? "enabled" : "disabled");
    for (int place = 0; place < ProductCount; ++place) {
      const std::size_t out = TProductTable::Latest(place);
      seen << QString("latest %1: %2 %3/%4/%5")
                  .arg(place)
                  .arg(QString::fromStdString(Products.Version[out]))
                  .arg(Products.Day[out])
                  .arg(Products.Month[out])
                  .arg(Products.Year[out]);
      seen << QString("history %1: ").arg(place) +
                  QString::fromLatin1(QByteArray::fromStdString(Products.History[out]));
    }
    Form.reset();
    return seen;
  }

 private slots:
  void init() {
    Descriptors = std::make_unique<TTempDir>();
    Catalogue = std::make_unique<TTempDir>();
    CatalogueFiles = 0;
    TMessageBox::ClearHistory();
  }
  void cleanup() {
    Form.reset();
    Server.reset();
  }

  void productsUpToDateEndOnCheckWithExit() {
    Offer("a", "14/03/2025", "2.1.0");
    Install({"a", "Alpha", "2.1.0", "14/03/2025"});
    StartServer();
    TfmMain& f = RunCheck();
    QCOMPARE(f.ActivePage(), QStringLiteral("Check"));
    for (QLabel* w : {f.check1, f.check2, f.check3, f.check4, f.lb4}) QVERIFY(!w->isHidden());
    QVERIFY(!f.lbAllOK->isHidden());
    QVERIFY(!f.btnExitCheck->isHidden());
    QVERIFY(f.lbErr1->isHidden() && f.lbErr2->isHidden() && f.lbErr3->isHidden());
    QCOMPARE(f.lstNew->count(), 0);
    QVERIFY(!QApplication::overrideCursor());
    f.btnExitCheck->click();
    QVERIFY(!f.isVisible());
  }

  void newerProductsAreListedTickedAndTagged() {
    Offer("old", "14/03/2025", "2.1.0");
    Offer("bydate", "15/03/2025", "1.0");       // later date, smaller version: newer
    Offer("prefix", "14/03/2025", "1.2.0");     // 1.2 is a proper beginning of 1.2.0
    Offer("textual", "14/03/2025", "1.9.0");    // "1.10" < "1.9.0" as text
    Offer("olderdate", "13/03/2025", "2.1.0");  // an earlier date alone is no update
    Install({"old", "Old", "2.1.0", "14/03/2025"});
    Install({"bydate", "By Date", "9.9", "14/03/2025"});
    Install({"prefix", "Prefix", "1.2", "14/03/2025"});
    Install({"textual", "Textual", "1.10", "14/03/2025"});
    Install({"olderdate", "Older Date", "2.1.0", "14/03/2025"});
    StartServer();
    TfmMain& f = RunCheck();
    QCOMPARE(f.ActivePage(), QStringLiteral("Results"));
    QStringList rows = Rows(f.lstNew);
    QStringList sorted = rows;
    sorted.sort();
    QCOMPARE(sorted, QStringList({"By Date 9.9 -> 1.0", "Prefix 1.2 -> 1.2.0", "Textual 1.10 -> 1.9.0"}));
    // Each row stands at the place of its product, whose row on the first page
    // it extends.
    const std::map<QString, QString> installed = {{"By Date 9.9 -> 1.0", "By Date 9.9"},
                                                  {"Prefix 1.2 -> 1.2.0", "Prefix 1.2"},
                                                  {"Textual 1.10 -> 1.9.0", "Textual 1.10"}};
    for (int i = 0; i < f.lstNew->count(); ++i) {
      QListWidgetItem* row = f.lstNew->item(i);
      QCOMPARE(row->checkState(), Qt::Checked);
      const int place = row->data(Qt::UserRole).toInt();
      QCOMPARE(f.lstApp->item(place)->text(), installed.at(row->text()));
      if (i > 0) QVERIFY(place > f.lstNew->item(i - 1)->data(Qt::UserRole).toInt());  // table order
    }
    QVERIFY(f.btnDownload->isEnabled());
    QVERIFY(f.lbErr2->isHidden());
  }

  void productsWithIdZeroGoWhenOthersRemain() {
    Offer("0", "15/03/2025", "2.0");
    Offer("b", "15/03/2025", "2.0");
    Install({"0", "Zero", "1.0", "14/03/2025"});
    Install({"b", "Bee", "1.0", "14/03/2025"});
    StartServer();
    TfmMain& f = RunCheck();
    QCOMPARE(Rows(f.lstNew), QStringList({"Bee 1.0 -> 2.0"}));
  }

  void aLoneIdZeroRowStays() {
    Offer("0", "15/03/2025", "2.0");
    Install({"0", "Zero", "1.0", "14/03/2025"});
    StartServer();
    TfmMain& f = RunCheck();
    QCOMPARE(Rows(f.lstNew), QStringList({"Zero 1.0 -> 2.0"}));
  }

  void twoIdZeroRowsLeaveNothingNewer() {
    // Two descriptors with the same ID "0".
    Offer("0", "15/03/2025", "2.0");
    Descriptors->Write("z1.ini", DescriptorText({"0", "Zero One", "1.0", "14/03/2025"}));
    Descriptors->Write("z2.ini", DescriptorText({"0", "Zero Two", "1.0", "14/03/2025"}));
    StartServer();
    TfmMain& f = RunCheck();
    QCOMPARE(f.ActivePage(), QStringLiteral("Check"));
    QVERIFY(!f.lbAllOK->isHidden());
    QCOMPARE(f.lstNew->count(), 0);
  }

  void anUnknownProductFailsTheCheckAndLaterOnesAreNotAsked() {
    Offer("a", "15/03/2025", "2.0");
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    Install({"zzz", "Unknown", "1.0", "14/03/2025"});
    StartServer();
    TfmMain& f = RunCheck();
    QCOMPARE(f.ActivePage(), QStringLiteral("Check"));
    QVERIFY(!f.lbErr2->isHidden());
    QVERIFY(f.check3->isHidden());
    QVERIFY(!f.btnExitCheck->isHidden());
    QCOMPARE(f.focusWidget(), static_cast<QWidget*>(f.btnExitCheck));
    QVERIFY(f.lbAllOK->isHidden());
    QVERIFY(!QApplication::overrideCursor());
  }

  void noServerListeningFailsWithTheSecondMark() {
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    qputenv("BREVANT_UPDATE_SERVER",
            QByteArray::fromStdString("http://127.0.0.1:" + std::to_string(TFaultServer::ClosedPort()) + "/"));
    TfmMain& f = RunCheck();
    QVERIFY(!f.lbErr2->isHidden());
    QVERIFY(f.lbErr1->isHidden());
    QVERIFY(!f.btnExitCheck->isHidden());
  }

  void anInternetHandleThatCannotOpenShowsTheFirstMark() {
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    Form = std::make_unique<TfmMain>(Descriptors->Path());
    std::string agent;
    Form->InternetOpener = [&](const std::string& a) {
      agent = a;
      return std::unique_ptr<TInternetSession>();
    };
    Form->show();
    Form->btnNextClick();
    QCOMPARE(agent, std::string("UpdateCheckTest"));  // the executable's file name
    QVERIFY(!Form->lbErr1->isHidden());
    QVERIFY(Form->check2->isHidden());
    QVERIFY(!Form->btnExitCheck->isHidden());
  }

  void brokenRepliesEachHaveTheirOutcome_data() {
    QTest::addColumn<TReplyFault>("fault");
    QTest::addColumn<bool>("checkFails");
    QTest::addColumn<QString>("history");
    const QString historyError = "Error while getting History file...";
    using enum TReplyFault;
    QTest::newRow("record wrapped in markup") << None << false << "History";
    QTest::newRow("record without marker") << RecordWithoutMarker << true << "";
    QTest::newRow("record without marker but a date first") << RecordWithADateFirst << false << "History";
    QTest::newRow("record with an impossible date") << RecordWithAnImpossibleDate << true << "";
    QTest::newRow("pointer with one marker") << PointerWithOneMarker << false << historyError;
    QTest::newRow("pointer to a file URL") << PointerToAFileUrl << false << historyError;
    QTest::newRow("pointer to garbage") << PointerToGarbage << false << historyError;
    QTest::newRow("history cut mid-transfer") << HistoryCut << false << historyError;
    QTest::newRow("record cut mid-transfer") << RecordCut << true << "";
    QTest::newRow("history redirected to a file URL") << HistoryRedirectedToAFileUrl << false << historyError;
    QTest::newRow("oversized history") << OversizedHistory << false << historyError;
  }
  void brokenRepliesEachHaveTheirOutcome() {
    QFETCH(TReplyFault, fault);
    QFETCH(bool, checkFails);
    QFETCH(QString, history);
    TFaultServer server;
    const std::string record = "/soft_update.php?referer=C_Update&productID=a";
    const std::string pointer = "/soft_history.php?productID=a";
    const std::string good = "<html><body>\r\nLatest:\r\n 15/03/2025 @@ 2.0.0 </body></html>";
    server.Serve(record, good);
    server.Serve(pointer, "<p>@@" + server.BaseUrl() + "h.txt@@</p>");
    server.Serve("/h.txt", "History");
    switch (fault) {
      case TReplyFault::None:
        break;
      case TReplyFault::RecordWithoutMarker:
        server.Serve(record, "Latest version: 2.0.0");
        break;
      case TReplyFault::RecordWithADateFirst:
        server.Serve(record, "15/03/2025 2.0.0");
        break;
      case TReplyFault::RecordWithAnImpossibleDate:
        server.Serve(record, "31/02/2025@@2.0.0");
        break;
      case TReplyFault::PointerWithOneMarker:
        server.Serve(pointer, "@@" + server.BaseUrl() + "h.txt");
        break;
      case TReplyFault::PointerToAFileUrl:
        server.Serve(pointer, "@@file:///etc/passwd@@");
        break;
      case TReplyFault::PointerToGarbage:
        server.Serve(pointer, "@@\x01\xff not a url@@");
        break;
      case TReplyFault::HistoryCut:
        server.CutBody("/h.txt", 1000, "History");
        break;
      case TReplyFault::RecordCut:
        server.CutBody(record, 1000, "15/03/2025@@2.0");
        break;
      case TReplyFault::HistoryRedirectedToAFileUrl:
        server.Redirect("/h.txt", "file:///etc/passwd");
        break;
      case TReplyFault::OversizedHistory:
        server.Stream("/h.txt", 17u * 1024 * 1024, true);
        break;
    }
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    qputenv("BREVANT_UPDATE_SERVER", QByteArray::fromStdString(server.BaseUrl()));
    TfmMain& f = RunCheck();
    QCOMPARE(!f.btnExitCheck->isHidden() && f.lbAllOK->isHidden(), checkFails);
    QCOMPARE(!f.lbErr2->isHidden(), checkFails || history != "History");
    if (!checkFails) {
      QCOMPARE(f.ActivePage(), QStringLiteral("Results"));
      QCOMPARE(QString::fromStdString(Products.History[TProductTable::Latest(0)]), history);
    }
  }

  void aSilentServerEndsInTheTimeOutNotAHang() {
    TFaultServer server;
    server.Silent("/soft_update.php");
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    qputenv("BREVANT_UPDATE_SERVER", QByteArray::fromStdString(server.BaseUrl()));
    Form = std::make_unique<TfmMain>(Descriptors->Path());
    Form->InternetOpener = [](const std::string& agent) {
      THttpLimits limits;
      limits.StallTimeoutMs = 500;
      return TInternetSession::Open(agent, limits);
    };
    Form->show();
    const auto start = std::chrono::steady_clock::now();
    Form->btnNextClick();
    QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::seconds(20));
    QVERIFY(!Form->lbErr2->isHidden());
    QVERIFY(!Form->btnExitCheck->isHidden());
  }

  // While the check waits (its pauses, a server that accepts and never
  // answers) the window goes on painting and answering the desktop; user
  // input meanwhile reaches no control; a close request from the desktop
  // ends the check at once, with the Internet handle closed and nothing more
  // fetched, and then closes the window.
  void aCloseRequestWhileTheCheckWaitsEndsItAndTheWindow_data() {
    QTest::addColumn<bool>("inThePause");
    QTest::newRow("while the server is silent") << false;
    QTest::newRow("in the first pause") << true;
  }
  void aCloseRequestWhileTheCheckWaitsEndsItAndTheWindow() {
    QFETCH(bool, inThePause);
    TFaultServer server;
    server.Silent("/soft_update.php");
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    Install({"b", "Bee", "1.0", "14/03/2025"});
    qputenv("BREVANT_UPDATE_SERVER", QByteArray::fromStdString(server.BaseUrl()));
    Form = std::make_unique<TfmMain>(Descriptors->Path());  // the real opener: 60 s without data fail a request
    Form->show();
    QVERIFY(QTest::qWaitForWindowExposed(Form.get()));
    TEventSpy spy;
    spy.Watch(Form.get());

    int paintsBefore = -1;
    bool repainted = false, closeRequested = false;
    QTimer whileChecking;  // fires only while the check keeps the events turning
    whileChecking.setInterval(inThePause ? 0 : 20);
    QObject::connect(&whileChecking, &QTimer::timeout, [&] {
      if (!Form->Busy() || (!inThePause && server.RequestCount() == 0)) return;
      if (paintsBefore < 0) {
        paintsBefore = spy.Paints;
        Form->update();
        return;
      }
      repainted = spy.Paints > paintsBefore;
      spy.Counting = true;
      const QPoint exit = Form->btnExitCheck->mapTo(Form.get(), Form->btnExitCheck->rect().center());
      QTest::mouseClick(Form->windowHandle(), Qt::LeftButton, Qt::NoModifier, exit);
      QTest::keyClick(Form->windowHandle(), Qt::Key_Return);
      QTest::keyClick(Form->windowHandle(), Qt::Key_Space);
      spy.Counting = false;
      whileChecking.stop();
      closeRequested = true;
      RequestClose(Form.get());
    });
    whileChecking.start();
    Form->btnNext->click();  // returns when the check has ended

    QVERIFY(closeRequested);
    QVERIFY(repainted);
    QCOMPARE(spy.Input, 0);
    QVERIFY(!Form->isVisible());
    QVERIFY(!Form->Busy());
    QCOMPARE(server.RequestCount(), inThePause ? 0u : 1u);  // the second product was never asked
    QTRY_COMPARE(server.OpenConnections(), 0);
    QVERIFY(Form->lbErr2->isHidden());  // ended, not failed
    QVERIFY(Form->btnExitCheck->isHidden());
    QVERIFY(!QApplication::overrideCursor());
  }

  // A far server answers every request late and the products are asked side
  // by side, yet the wizard shows what it showed asking them one after the
  // other: the first failure in table order decides, even when a later
  // product fails sooner than an earlier one ends.
  void aFarServerGivesWhatOneByOneGave_data() {
    QTest::addColumn<QString>("faults");
    QTest::addColumn<QStringList>("shown");
    const QString e = "Error while getting History file...";
    QTest::newRow("all well") << "" << QStringList{"page Results",        "lbErr2 hidden",       "3 rows",
                                                   "0: 2.0 15/3/2025 H0", "1: 2.0 15/3/2025 H1", "2: 2.0 15/3/2025 H2"};
    QTest::newRow("second record cut") << "record 1 cut"
                                       << QStringList{"page Check",          "lbErr2 shown", "0 rows",
                                                      "0: 2.0 15/3/2025 H0", "1:  0/0/0 ",   "2:  0/0/0 "};
    QTest::newRow("first pointer broken, second date impossible")
        << "pointer 0 broken, date 1 impossible"
        << QStringList{"page Check",      "lbErr2 shown", "0 rows", "0: 2.0 15/3/2025 " + e,
                       "1: 2.0 0/0/0 H1", "2:  0/0/0 "};
    QTest::newRow("last history cut") << "history 2 cut"
                                      << QStringList{
                                             "page Results",        "lbErr2 shown",        "3 rows",
                                             "0: 2.0 15/3/2025 H0", "1: 2.0 15/3/2025 H1", "2: 2.0 15/3/2025 " + e};
  }
  void aFarServerGivesWhatOneByOneGave() {
    QFETCH(QString, faults);
    QFETCH(QStringList, shown);
    TFaultServer server;
    TDelayProxy proxy(std::chrono::milliseconds(30), server.Port());
    for (const char* id : {"a", "b", "c"}) Install({id, id, "1.0", "14/03/2025"});
    qputenv("BREVANT_UPDATE_SERVER", QByteArray::fromStdString(proxy.BaseUrl()));
    Form = std::make_unique<TfmMain>(Descriptors->Path());
    for (int place = 0; place < 3; ++place) {  // the faults go by place, which the folder's listing decides
      const std::string id = Products.ID[TProductTable::Installed(place)], n = std::to_string(place);
      const std::string record = "/soft_update.php?referer=C_Update&productID=" + id;
      const std::string pointer = "/soft_history.php?productID=" + id, history = "/h" + n + ".txt";
      server.Serve(record, "15/03/2025@@2.0");
      server.Serve(pointer, "@@" + proxy.BaseUrl() + history.substr(1) + "@@");
      server.Serve(history, "H" + n);
      const auto faulty = [&](const char* what) { return faults.contains(QString(what).arg(place)); };
      if (faulty("record %1 cut")) server.CutBody(record, 1000, "15/03/2025@@2.0");
      if (faulty("date %1 impossible")) server.Serve(record, "31/02/2025@@2.0");
      if (faulty("pointer %1 broken")) server.Serve(pointer, "@@no second marker");
      if (faulty("history %1 cut")) server.CutBody(history, 1000, "H");
      const std::size_t out = TProductTable::Latest(place);
      Products.Version[out] = Products.History[out] = "";
      Products.Day[out] = Products.Month[out] = Products.Year[out] = 0;
    }
    Form->show();
    Form->btnNextClick();
    QStringList seen{"page " + Form->ActivePage(), Form->lbErr2->isHidden() ? "lbErr2 hidden" : "lbErr2 shown",
                     QString("%1 rows").arg(Form->lstNew->count())};
    for (int place = 0; place < 3; ++place) {
      const std::size_t out = TProductTable::Latest(place);
      seen << QString("%1: %2 %3/%4/%5 %6")
                  .arg(place)
                  .arg(QString::fromStdString(Products.Version[out]))
                  .arg(Products.Day[out])
                  .arg(Products.Month[out])
                  .arg(Products.Year[out])
                  .arg(QString::fromStdString(Products.History[out]));
    }
    QCOMPARE(seen, shown);
  }

  // A close request while a far check has its requests out ends it at once,
  // its connections closed, and closes the window.
  void aCloseRequestDuringAFarCheckEndsIt() {
    TFaultServer server;
    TDelayProxy proxy(std::chrono::milliseconds(300), server.Port());
    server.Serve("/soft_update.php", "15/03/2025@@2.0");
    server.Serve("/soft_history.php", "@@" + proxy.BaseUrl() + "h.txt@@");
    server.Serve("/h.txt", "History");
    for (const char* id : {"a", "b", "c", "d"}) Install({id, id, "1.0", "14/03/2025"});
    qputenv("BREVANT_UPDATE_SERVER", QByteArray::fromStdString(proxy.BaseUrl()));
    Form = std::make_unique<TfmMain>(Descriptors->Path());
    Form->show();
    QTimer whileChecking;
    whileChecking.setInterval(20);
    QObject::connect(&whileChecking, &QTimer::timeout, [&] {
      if (!Form->Busy() || proxy.Connections() < 2) return;  // the products are out side by side
      whileChecking.stop();
      RequestClose(Form.get());
    });
    whileChecking.start();
    Form->btnNext->click();  // returns when the check has ended
    QVERIFY(!whileChecking.isActive());
    QVERIFY(!Form->isVisible());
    QVERIFY(!Form->Busy());
    QCOMPARE(Form->lstNew->count(), 0);
    QVERIFY(Form->lbErr2->isHidden());  // ended, not failed
    QVERIFY(Form->btnExitCheck->isHidden());
    QVERIFY(!QApplication::overrideCursor());
    QTRY_COMPARE(proxy.OpenConnections(), 0);
  }

  // The maker's production set-up, nginx serving the export over TLS with
  // HTTP/2: the check asks everything over one connection.
  void theExportOverTlsAnswersOnOneConnection() {
    QVERIFY2(!NginxProgram().empty(), "nginx is not installed: scripts/install-deps.sh installs it");
    Offer("a", "15/03/2025", "2.0", "A history");
    Offer("b", "15/03/2025", "2.0", "B history");
    Offer("c", "14/03/2025", "1.0");
    for (const char* id : {"a", "b", "c"}) Install({id, id, "1.0", "14/03/2025"});
    TDelayProxy proxy(std::chrono::milliseconds(0));  // counts the connections
    TTempDir site, output;
    bool tls = false;
    const std::unique_ptr<TServerChild> nginx = StartNginx(
        site.Path(),
        [&](int port) {
          TStaticExportOptions options;
          options.Port = port;
          options.PublicUrl = proxy.BaseUrl("https");
          StaticExport::Export(TCatalogue::Load(Catalogue->Path()), site.Path(), options);
          tls = ServeExportOverTls(site.Path());
        },
        output.File("nginx.out"));
    QVERIFY2(tls && nginx->Started(), nginx->Output().c_str());
    proxy.SetUpstream(nginx->Port());
    qputenv("BREVANT_UPDATE_SERVER", QByteArray::fromStdString(proxy.BaseUrl("https")));
    Form = std::make_unique<TfmMain>(Descriptors->Path());
    Form->InternetOpener = [&](const std::string& agent) {
      THttpLimits limits;
      limits.CaFile = site.File("test-cert.pem");
      return TInternetSession::Open(agent, limits);
    };
    Form->show();
    Form->btnNextClick();
    QStringList rows = Rows(Form->lstNew);
    rows.sort();
    QCOMPARE(rows, QStringList({"a 1.0 -> 2.0", "b 1.0 -> 2.0"}));
    for (int place = 0; place < 3; ++place) {
      const std::string id = Products.ID[TProductTable::Installed(place)];
      QCOMPARE(Products.History[TProductTable::Latest(place)], id == "a"   ? "A history"
                                                               : id == "b" ? "B history"
                                                                           : "History of the product.\r\nSecond line.");
    }
    QCOMPARE(proxy.Connections(), 1);
  }

  // The same for the one-second pause after each download page: no further
  // page opens.
  void aCloseRequestInTheDownloadsPauseOpensNoFurtherPage() {
    TOpenerOnPath opener(0);
    Offer("a", "15/03/2025", "2.0");
    Offer("b", "15/03/2025", "2.0");
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    Install({"b", "Bee", "1.0", "14/03/2025"});
    StartServer();
    TfmMain& f = RunCheck();
    QCOMPARE(f.lstNew->count(), 2);
    bool closeRequested = false;
    QTimer whilePausing;
    whilePausing.setInterval(20);
    QObject::connect(&whilePausing, &QTimer::timeout, [&] {
      if (!f.Busy() || opener.Opened().empty()) return;
      whilePausing.stop();
      closeRequested = true;
      RequestClose(&f);
    });
    whilePausing.start();
    f.btnDownload->click();
    QVERIFY(closeRequested);
    QVERIFY(!f.isVisible());
    const std::map<QString, std::string> page = {{"Alpha 1.0 -> 2.0", "soft_download.php?productID=a"},
                                                 {"Bee 1.0 -> 2.0", "soft_download.php?productID=b"}};
    QCOMPARE(opener.Opened(), Server->BaseUrl() + page.at(f.lstNew->item(0)->text()) + "\n");
  }

  void idsAreSentUnchangedAndBytesOfTheHistoryKept() {
    TFaultServer server;
    const std::string id = "a b;'\"&x";
    static const char BinaryBody[] = "line 1\r\nbin \x01\x02\xff and zero \0 kept\r\n";
    const std::string text(BinaryBody, sizeof BinaryBody - 1);
    server.Serve("/soft_update.php", "15/03/2025@@2.0");
    server.Serve("/soft_history.php", "@@" + server.BaseUrl() + "h.txt@@");
    server.Serve("/h.txt", text);
    Install({id, "Odd", "1.0", "14/03/2025"});
    qputenv("BREVANT_UPDATE_SERVER", QByteArray::fromStdString(server.BaseUrl()));
    TfmMain& f = RunCheck();
    QCOMPARE(f.ActivePage(), QStringLiteral("Results"));
    QCOMPARE(Products.History[TProductTable::Latest(0)], text);
    bool sawRecord = false;
    for (const auto& r : server.Requests())
      sawRecord |= r.Target == "/soft_update.php?referer=C_Update&productID=a%20b;'\"&x";  // only the blank encoded
    QVERIFY(sawRecord);
    // The history window shows the text, zero byte and all, without loading anything.
    TfmHistory history;
    fmHistory = &history;
    const auto shown = HistoryOf(f, 0);
    QCOMPARE(shown.first, QStringLiteral("Odd"));
    using namespace std::string_literals;
    QCOMPARE(shown.second, QString::fromStdU16String(u"line 1\nbin \u0001\u0002\u00FF and zero \0 kept\n"s));
    fmHistory = nullptr;
  }

  // The maker's 8-bit texts: a title and a history that are not UTF-8 show
  // as Windows-1252 in every place the wizard shows them.
  void windows1252TextsShowTheirPunctuation() {
    TFaultServer server;
    server.Serve("/soft_update.php", "15/03/2025@@2.0");
    server.Serve("/soft_history.php", "@@" + server.BaseUrl() + "h.txt@@");
    server.Serve("/h.txt",
                 "Version 2.0 \x96 \x93"
                 "faster\x94\r\n\x95 50 \x80 less\x85 \x81");
    Install({"a",
             "Pro\x99 \x96 \xe9"
             "dition \x80",
             "1.0", "14/03/2025"});
    qputenv("BREVANT_UPDATE_SERVER", QByteArray::fromStdString(server.BaseUrl()));
    TfmMain& f = RunCheck();
    const QString title = QStringLiteral("Pro\u2122 \u2013 \u00e9dition \u20ac");
    QCOMPARE(f.lstApp->item(0)->text(), title + QStringLiteral(" 1.0"));
    QCOMPARE(Rows(f.lstNew), QStringList({title + QStringLiteral(" 1.0 -> 2.0")}));
    TfmHistory history;
    fmHistory = &history;
    const auto shown = HistoryOf(f, 0);
    QCOMPARE(shown.first, title);
    QCOMPARE(shown.second, QStringLiteral("Version 2.0 \u2013 \u201cfaster\u201d\n\u2022 50 \u20ac less\u2026 \u0081"));
    fmHistory = nullptr;
  }

  // Enter presses the focused button, as Space does, in both windows; Enter
  // on a row of the results shows its history; Escape changes nothing.
  void theKeyboardDrivesTheWizard_data() {
    QTest::addColumn<Qt::Key>("enter");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::newRow("Return") << Qt::Key_Return << Qt::KeyboardModifiers(Qt::NoModifier);
    QTest::newRow("keypad Enter") << Qt::Key_Enter << Qt::KeyboardModifiers(Qt::KeypadModifier);
  }
  void theKeyboardDrivesTheWizard() {
    QFETCH(Qt::Key, enter);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    Offer("a", "15/03/2025", "2.0", "A history");
    Offer("b", "15/03/2025", "2.0", "B history");
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    Install({"b", "Bee", "1.0", "14/03/2025"});
    StartServer();
    Form = std::make_unique<TfmMain>(Descriptors->Path());
    TfmHistory history(Form.get());
    fmHistory = &history;
    Form->show();
    QVERIFY(QTest::qWaitForWindowActive(Form.get()));
    Form->move(0, 0);  // the history window is centred on the screen, not on the wizard
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Form->btnNext));
    PressKey(Form.get(), Qt::Key_Escape);
    QCOMPARE(Form->ActivePage(), QStringLiteral("Start"));
    PressKey(Form.get(), enter, modifiers);  // Next: the check runs
    QCOMPARE(Form->ActivePage(), QStringLiteral("Results"));
    QCOMPARE(Form->lstNew->count(), 2);

    for (int row : {1, 0}) {
      Form->lstNew->setFocus(Qt::TabFocusReason);
      Form->lstNew->setCurrentRow(row);
      const std::string title = Form->lstNew->item(row)->text() == "Alpha 1.0 -> 2.0" ? "Alpha" : "Bee";
      QString caption, text;
      QPoint centre;
      bool shownAfterEscape = false;
      WhileHistoryShows([&] { PressKey(Form.get(), enter, modifiers); },
                        [&] {
                          caption = history.windowTitle();
                          text = history.Memo->toPlainText();
                          centre = history.geometry().center();
                          PressKey(&history, Qt::Key_Escape);
                          shownAfterEscape = history.isVisible();
                          history.btnClose->setFocus(Qt::TabFocusReason);
                          PressKey(&history, enter, modifiers);  // Close
                        });
      QCOMPARE(caption.toStdString(), title);
      QCOMPARE(text, title == "Alpha" ? QStringLiteral("A history") : QStringLiteral("B history"));
      QVERIFY(shownAfterEscape);
      // Centred on the screen, the window frame's few pixels aside.
      QVERIFY((centre - history.screen()->availableGeometry().center()).manhattanLength() <= 8);
      QVERIFY(!history.isVisible());
      QCOMPARE(Form->ActivePage(), QStringLiteral("Results"));
    }
    // Enter on a tick box's row does not tick it: only Space does.
    QCOMPARE(Form->lstNew->item(0)->checkState(), Qt::Checked);
    QCOMPARE(Form->lstNew->item(1)->checkState(), Qt::Checked);

    Form->btnExitResults->setFocus(Qt::TabFocusReason);
    PressKey(Form.get(), enter, modifiers);
    QVERIFY(!Form->isVisible());
    fmHistory = nullptr;
  }

  void enterOnExitAfterAFailedCheckEnds() {
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    qputenv("BREVANT_UPDATE_SERVER",
            QByteArray::fromStdString("http://127.0.0.1:" + std::to_string(TFaultServer::ClosedPort()) + "/"));
    Form = std::make_unique<TfmMain>(Descriptors->Path());
    Form->show();
    QVERIFY(QTest::qWaitForWindowActive(Form.get()));
    Form->btnNext->click();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Form->btnExitCheck));
    PressKey(Form.get(), Qt::Key_Return);
    QVERIFY(!Form->isVisible());
  }

  void enterOnDownloadOpensThePages() {
    TOpenerOnPath opener(0);
    Offer("a", "15/03/2025", "2.0");
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    StartServer();
    TfmMain& f = RunCheck();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    f.btnDownload->setFocus(Qt::TabFocusReason);
    PressKey(&f, Qt::Key_Return);
    QVERIFY(!f.isVisible());
    QTRY_COMPARE(opener.Opened(), Server->BaseUrl() + "soft_download.php?productID=a\n");
  }

  // A row too long for the results list shows its whole text as its tooltip
  // when the mouse rests on it; a row that fits shows none.
  void longRowsShowTheirWholeTextAsTooltip() {
    Offer("long", "15/03/2025", "1.1");
    Offer("short", "15/03/2025", "1.1");
    Install({"long", "Quellmark Sample Product Number 25 With A Long Title", "1.0", "14/03/2025"});
    Install({"short", "Short", "1.0", "14/03/2025"});
    StartServer();
    TfmMain& f = RunCheck();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    int longRow = 0;
    while (!f.lstNew->item(longRow)->text().startsWith(QStringLiteral("Quellmark"))) ++longRow;
    // The mouse moves over the window as the desktop reports it.
    const auto restOn = [&](int row) {
      const QPoint centre = f.lstNew->visualItemRect(f.lstNew->item(row)).center();
      QTest::mouseMove(f.windowHandle(), f.lstNew->viewport()->mapTo(&f, centre));
    };
    // The desktop asks for a tooltip once the mouse has rested on the row.
    struct TToolTipRequests : QObject {
      int Count = 0;
      bool eventFilter(QObject*, QEvent* e) override {
        Count += e->type() == QEvent::ToolTip;
        return false;
      }
    } requests;
    f.lstNew->viewport()->installEventFilter(&requests);
    restOn(1 - longRow);
    QTRY_COMPARE(requests.Count, 1);
    QVERIFY(!QToolTip::isVisible());
    restOn(longRow);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QStringLiteral("Quellmark Sample Product Number 25 With A Long Title 1.0 -> 1.1"));
    restOn(1 - longRow);
    QTRY_VERIFY(!QToolTip::isVisible());
  }

  void historyWindowLayoutAndTextsThatMustNotRender() {
    TfmHistory history;
    QCOMPARE(history.objectName(), QStringLiteral("fmHistory"));
    QCOMPARE(history.size(), QSize(492, 391));
    QCOMPARE(history.minimumSize(), history.maximumSize());
    QCOMPARE(history.windowTitle(), QStringLiteral("History File"));
    // The controls come with the first display.
    QVERIFY(history.findChildren<QWidget*>().isEmpty());
    history.ShowHistory("History File", "");
    QCOMPARE(history.lbTitle->pos(), QPoint(52, 17));
    QCOMPARE(history.lbTitle->font().pixelSize(), 16);
    QCOMPARE(history.imgTitle->geometry(), QRect(8, 8, 32, 32));
    QCOMPARE(history.Memo->parentWidget()->size(), QSize(462, 286));
    QVERIFY(history.Memo->isReadOnly());
    QCOMPARE(history.Memo->lineWrapMode(), QTextEdit::WidgetWidth);
    QCOMPARE(history.Memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(history.btnClose->text(), QStringLiteral("Close"));
    QCOMPARE(history.btnClose->size(), QSize(75, 25));

    // Markup is text: nothing in a history loads or formats anything.
    const std::string html = "<img src=\"http://127.0.0.1:9/x.png\"><b>bold</b>\r\n<a href=\"file:///etc\">x</a>";
    history.ShowHistory("Html", html);
    QCOMPARE(history.windowTitle(), QStringLiteral("Html"));
    QCOMPARE(history.Memo->toPlainText(), ToDisplayText(html));
    // Rich Text Format shows as its plain text, never as control words.
    history.ShowHistory("Rtf", "{\\rtf1\\ansi{\\fonttbl{\\f0 Tahoma;}}\\f0\\b Version 2.0\\b0\\par - caf\\'e9\\par}");
    QCOMPARE(history.Memo->toPlainText(), QStringLiteral("Version 2.0\n- caf\u00e9\n"));
    // Each display replaces the whole text.
    history.ShowHistory("Plain", "only this");
    QCOMPARE(history.Memo->toPlainText(), QStringLiteral("only this"));
  }

  void doubleClicksShowEachProductsOwnHistory() {
    Offer("0", "15/03/2025", "2.0", "zero's history");
    Offer("a", "15/03/2025", "2.0", "Version 2.0\r\n- faster\r\n- smaller");
    Offer("b", "15/03/2025", "2.0", "B history");
    Install({"0", "Zero", "1.0", "14/03/2025"});
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    Install({"b", "Bee", "1.0", "14/03/2025"});
    StartServer();
    TfmMain& f = RunCheck();
    QCOMPARE(f.lstNew->count(), 2);  // the ID "0" row is gone
    TfmHistory history;
    fmHistory = &history;
    QCOMPARE(history.windowTitle(), QStringLiteral("History File"));
    for (int row = 0; row < 2; ++row) {
      const auto shown = HistoryOf(f, row);
      const std::string title = f.lstNew->item(row)->text() == "Alpha 1.0 -> 2.0" ? "Alpha" : "Bee";
      QCOMPARE(shown.first.toStdString(), title);
      QCOMPARE(shown.second,
               title == "Alpha" ? QStringLiteral("Version 2.0\n- faster\n- smaller") : QStringLiteral("B history"));
      QCOMPARE(history.lbTitle->text(), QStringLiteral("History File"));
    }
    QCOMPARE(f.ActivePage(), QStringLiteral("Results"));
    QCOMPARE(f.lstNew->item(0)->checkState(), Qt::Checked);
    fmHistory = nullptr;
  }

  void theExportBehindNginxGivesTheSameResultsPage_data() {
    QTest::addColumn<QString>("catalogue");
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("historyErrors");
    QTest::newRow("demo catalogue") << "demo"
                                    << "Results" << 3 << 0;
    QTest::newRow("IDs with odd characters") << "odd"
                                             << "Results" << 13 << 1;
    QTest::newRow("a product the catalogue lacks") << "lacking"
                                                   << "Check" << 0 << 1;
  }
  void theExportBehindNginxGivesTheSameResultsPage() {
    QFETCH(QString, catalogue);
    QFETCH(QString, page);
    QFETCH(int, rows);
    QFETCH(int, historyErrors);
    QVERIFY2(!NginxProgram().empty(), "nginx is not installed: scripts/install-deps.sh installs it");
    std::string folder = Catalogue->Path();
    if (catalogue == "demo") {
      const std::string demo = qgetenv("BREVANT_SOURCE_DIR").toStdString() + "/demo";
      folder = demo + "/catalogue";
      for (const auto& e : std::filesystem::directory_iterator(demo + "/descriptors"))
        std::filesystem::copy_file(e.path(), Descriptors->File(e.path().filename().string()));
    } else if (catalogue == "odd") {
      // Every character a file name, a URL's query or nginx's configuration
      // could trip over; IDs that are another's escape or extend another at
      // an "&"; and one product without a history.
      for (const std::string id : {"Q&A \"Pro\"; v=1+x", "100% sure", "x%41", "xA", "a", "a&b", "../etc/passwd",
                                   "Caf\xC3\xA9 \xE9"
                                   "dition",
                                   "UPPER.lower", ".hidden", "{$x};'y'", "what?=yes"}) {
        Offer(id, "15/03/2025", "2.0", "History of " + id + "\r\n");
        Descriptors->Write("odd" + std::to_string(CatalogueFiles) + ".ini",
                           DescriptorText({id, "Title " + id, "1.0", "14/03/2025", id.size() % 2 == 0 ? 0 : 1}));
      }
      Catalogue->Write("plain.product", "id=plain\ndate=15/03/2025\nversion=2.0\ndownload=http://127.0.0.1/d\n");
      Install({"plain", "Plain", "1.0", "14/03/2025"});
    } else {
      Offer("a", "15/03/2025", "2.0");
      Install({"a", "Alpha", "1.0", "14/03/2025"});
      Install({"b", "Bee", "1.0", "14/03/2025"});
    }

    TUpdateServer reference(TCatalogue::Load(folder));
    reference.Start("127.0.0.1", 0);
    const QStringList expected = CheckAgainst(reference.BaseUrl());
    // The reference's own page is the one foreseen, not a failure both share.
    QCOMPARE(expected.front(), "page " + page);
    QCOMPARE(expected.filter(QRegularExpression("^row ")).size(), rows);
    QCOMPARE(expected.filter("Error while getting History file...").size(), historyErrors);

    TTempDir site, output;
    const std::unique_ptr<TServerChild> nginx = StartNginx(
        site.Path(),
        [&](int port) {
          TStaticExportOptions options;
          options.Port = port;
          StaticExport::Export(TCatalogue::Load(folder), site.Path(), options);
        },
        output.File("nginx.out"));
    QVERIFY2(nginx->Started(), nginx->Output().c_str());
    QCOMPARE(CheckAgainst(nginx->Url()), expected);
  }

  void ticksDecideTheDownloadButton() {
    Offer("a", "15/03/2025", "2.0");
    Offer("b", "15/03/2025", "2.0");
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    Install({"b", "Bee", "1.0", "14/03/2025"});
    StartServer();
    TfmMain& f = RunCheck();
    f.lstNew->item(0)->setCheckState(Qt::Unchecked);
    QVERIFY(f.btnDownload->isEnabled());
    f.lstNew->item(1)->setCheckState(Qt::Unchecked);
    QVERIFY(!f.btnDownload->isEnabled());
    f.lstNew->item(1)->setCheckState(Qt::Checked);
    QVERIFY(f.btnDownload->isEnabled());
  }

  void downloadOpensTheTickedPagesInRowOrderThenCloses() {
    TOpenerOnPath opener(0);

    Offer("a", "15/03/2025", "2.0");
    Offer("b", "15/03/2025", "2.0");
    Offer("c", "15/03/2025", "2.0");
    Install({"a", "Alpha", "1.0", "14/03/2025", 0});
    Install({"b", "Bee", "1.0", "14/03/2025", 0});
    Install({"c", "Sea", "1.0", "14/03/2025", 1});
    StartServer();
    TfmMain& f = RunCheck();
    QCOMPARE(f.lstNew->count(), 3);
    // The pages of the ticked rows, in row order: every row but Bee's.
    const std::map<QString, std::string> page = {{"Alpha 1.0 -> 2.0", "soft_download.php?productID=a"},
                                                 {"Bee 1.0 -> 2.0", ""},
                                                 {"Sea 1.0 -> 2.0", "soft_download_reg.php?productID=c"}};
    std::string expected;
    for (int row = 0; row < 3; ++row) {
      QListWidgetItem* item = f.lstNew->item(row);
      if (page.at(item->text()).empty())
        item->setCheckState(Qt::Unchecked);
      else
        expected += Server->BaseUrl() + page.at(item->text()) + "\n";
    }
    const auto start = std::chrono::steady_clock::now();
    f.btnDownload->click();
    QVERIFY(std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(2000));  // one second per page
    QVERIFY(!f.isVisible());
    QTRY_COMPARE(opener.Opened(), expected);
  }

  void aRefusedPageStopsTheDownloadAndKeepsTheWizardOpen() {
    TOpenerOnPath opener(3);

    Offer("a", "15/03/2025", "2.0");
    Offer("b", "15/03/2025", "2.0");
    Install({"a", "Alpha", "1.0", "14/03/2025"});
    Install({"b", "Bee", "1.0", "14/03/2025"});
    StartServer();
    TfmMain& f = RunCheck();
    f.btnDownload->click();
    QVERIFY(f.isVisible());
    QCOMPARE(f.ActivePage(), QStringLiteral("Results"));
    QCOMPARE(TMessageBox::History().size(), size_t(1));
    // The file part of the address is what follows its last colon: the port on.
    const std::string port = Server->BaseUrl().substr(std::string("http://127.0.0.1:").size());
    const std::string firstId = f.lstNew->item(0)->text() == "Alpha 1.0 -> 2.0" ? "a" : "b";
    QCOMPARE(TMessageBox::History()[0].Text, "Error on executing :\r\n\r\n   File : " + port +
                                                 "soft_download.php?productID=" + firstId +
                                                 "\r\n   Params : \r\n   Path : http://127.0.0.1:\r\n\r\n"
                                                 "   Message : No association found");
    QCOMPARE(TMessageBox::History()[0].Icon, TMsgIcon::Error);
    const std::string opened = opener.Opened();
    QCOMPARE(std::count(opened.begin(), opened.end(), '\n'), 1L);  // the second page was not tried
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  TMessageBox::SetAutoAnswer(true);
  UpdateCheckTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "UpdateCheckTest.moc"
