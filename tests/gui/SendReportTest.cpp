// Sending reports through the real widgets, on Qt's offscreen platform: the
// exception dialog's "Send report", the send window against the real report
// collector (a child on loopback, on SQLite) and against one that never
// answers, and the offer of an earlier run's crash reports once the main
// window shows.
#include <filesystem>
#include <fstream>
#include <memory>

#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "diag/F_VEK_Exception.h"
#include "diag/F_VEK_SendReport.h"
#include "diag/U_VEK_Debug.h"
#include "diag/U_VEK_Global.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_PendingReports.h"
#include "diag/U_VEK_Report.h"
#include "diag/U_VEK_System.h"
#include "runtime/Application.h"
#include "runtime/LocaleText.h"
#include "runtime/MessageBox.h"
#include "runtime/Panel.h"
#include "tests/support/FakeSystem.h"
#include "tests/support/FaultServer.h"
#include "tests/support/LogEntries.h"
#include "tests/support/LoopbackHttp.h"
#include "tests/support/Modal.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"
#include "tools/report-server/Users.h"

namespace fs = std::filesystem;

namespace {

const char* const Login = "Authorization: Basic ZGV2OnBhc3N3b3Jk\r\n";  // dev:password

QString Text(const std::string& s) {
  return QString::fromStdString(s);
}

// The report text the send window shows, below the body's head.
std::string ShownReport(const TfmVEKSendReport* Window) {
  const std::string body = Window->moReport->toPlainText().toStdString();
  return body.substr(body.find("\n\n") + 2);
}

}  // namespace

class SendReportTest : public QObject {
  Q_OBJECT
  TTempDir FDir;
  std::unique_ptr<TFakeSystemScope> FSystem;
  std::unique_ptr<TServerChild> FCollector;

  // A pending report of the program "Demo" that ended at Seconds.
  std::string Pending(std::uint64_t Seconds, const std::string& Key) {
    const TVEKReport report{"Demo", "1.0", "", Key,
                            "Type         : SIGSEGV ( Fatal signal )\r\nUnit         : Demo\r\nLine         : 12\r\n"
                            "Class        : <N/A>\r\nFunction     : main\r\nAddress      : 0x1\r\n"
                            "Sender Class : <N/A>\r\nSender Name  : <N/A>\r\nMessage      : crash " +
                                Key + "\r\nCall Stack   : Demo::main"};
    const std::string folder = VEKPendingReportsFolder();
    fs::create_directories(folder);
    char digits[21];
    std::snprintf(digits, sizeof digits, "%020llu", static_cast<unsigned long long>(Seconds));
    const std::string file = folder + "/Demo." + digits + ".42.vekreport";
    std::ofstream(file) << VEKReportBody(report);
    return file;
  }

 private slots:
  void initTestCase() {
    qputenv("XDG_STATE_HOME", QByteArray::fromStdString(FDir.File("state")));
    qputenv("no_proxy", "*");
    FSystem = std::make_unique<TFakeSystemScope>();
    FSystem->Process.Exe = FDir.File("Demo");
    LogActive = false;
    VEKDebugger();
    VEKApplication->LogFile->FileName = FDir.File("Demo.log");
    VEKApplication->LogFile->SetActive(true);
    TUsers::SetPassword(FDir.File("users"), "dev", "password");
    FCollector =
        std::make_unique<TServerChild>(std::vector<std::string>{REPORT_SERVER_EXE, "--port", "0", "--database",
                                                                FDir.File("reports.db"), "--users", FDir.File("users")},
                                       FDir.File("collector.txt"));
    QVERIFY2(FCollector->Started(), FCollector->Output().c_str());
  }
  void cleanupTestCase() {
    SetVEKReportServer("");
    SafeFreeAndNil(VEKDebug);
    FinalizeVEKSystem();
    FSystem.reset();
  }
  void init() {
    TMessageBox::ClearHistory();
    SetVEKReportServer("");
  }

  void withoutACollectorTheDialogHasNoSendButton() {
    bool shown = false, button = true;
    WhenModal([&](QWidget* modal) {
      auto* dialog = qobject_cast<TfmVEKException*>(modal);
      if (!dialog) return false;
      shown = true;
      button = dialog->btnSendReport || dialog->findChild<QPushButton*>(QStringLiteral("btnSendReport"));
      dialog->btnClose->click();
      return true;
    });
    const EConvertError error("Not a number");
    ShowExceptionDialog(nullptr, nullptr, &error);
    QVERIFY(shown);
    QVERIFY(!button);
  }

  // "Send report" between Close and Details; the window shows the report the
  // log got and sends exactly that; the collector files it.
  void sendReportSendsTheLoggedReportToTheCollector() {
    SetVEKReportServer(FCollector->Url());
    QString status;
    bool placed = false, ordered = false, sendHidden = false;
    std::string shownReport;
    WhenModal([&](QWidget* modal) {
      auto* dialog = qobject_cast<TfmVEKException*>(modal);
      if (!dialog || !dialog->btnSendReport) return false;
      QPushButton* send = dialog->btnSendReport;
      placed = send->parentWidget() == dialog->pnButtons && send->geometry() == QRect(8, 50, 75, 25) &&
               send->text() == QLatin1String("Send report") && send->isVisible();
      ordered = dialog->btnClose->nextInFocusChain() == send && send->nextInFocusChain() == dialog->btnDetail;
      WhenModal([&](QWidget* top) {
        auto* window = qobject_cast<TfmVEKSendReport*>(top);
        if (!window) return false;
        shownReport = ShownReport(window);
        QTest::mouseClick(window->btnSend, Qt::LeftButton);  // returns once the send has ended
        status = window->lbStatus->text();
        sendHidden = !window->btnSend->isVisible() && window->btnCancel->text() == QLatin1String("Close");
        QTest::mouseClick(window->btnCancel, Qt::LeftButton);
        return true;
      });
      QTest::mouseClick(send, Qt::LeftButton);
      QTest::keyClick(dialog->btnClose, Qt::Key_Escape);
      return true;
    });
    // Thrown while interception records the throwing stacks, as in a program
    // run with "/DEBUG": the dialog's record is the log's.
    VEKDebug->SetActive(true);
    try {
      throw EConvertError("Not a number\r\nSecond line");
    } catch (const EConvertError& error) {
      VEKDebug->ProcessException(nullptr, &error, true);
    }
    VEKDebug->SetActive(false);
    QVERIFY(placed);
    QVERIFY(ordered);
    QCOMPARE(status, QStringLiteral("The report was sent. Its reference is R-1."));
    QVERIFY(sendHidden);
    // The log's report, under the head of the collector's format.
    const auto entries = ExceptEntries(ReadWholeFile(FDir.File("Demo.log")));
    QCOMPARE(entries.size(), std::size_t(1));
    std::string logged;
    for (const std::string& line : entries[0]) logged += (logged.empty() ? "" : "\n") + line;
    QCOMPARE(shownReport, logged + "\n");
    const THttpReply filed = HttpGet(FCollector->Port(), "/reports/1", "", Login);
    QCOMPARE(filed.Status, 200);
    QVERIFY2(filed.Body.find("Message      : Not a number\r\n               Second line") != std::string::npos,
             filed.Body.c_str());
  }

  // The window stays live while it waits: Cancel, or Escape, stops the send;
  // the report can be sent again.
  void cancelStopsTheSend_data() {
    QTest::addColumn<bool>("escape");
    QTest::newRow("Cancel") << false;
    QTest::newRow("Escape") << true;
  }
  void cancelStopsTheSend() {
    QFETCH(bool, escape);
    TFaultServer silent;
    silent.Silent("/reports");
    TfmVEKSendReport window(silent.BaseUrl(), VEKReportOf("Type         : E"), "", nullptr);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
      if (!window.Sending() || silent.RequestCount() == 0) return;
      poll.stop();
      if (escape)
        QTest::keyClick(&window, Qt::Key_Escape);
      else
        QTest::mouseClick(window.btnCancel, Qt::LeftButton);
    });
    poll.start(5);
    QTest::mouseClick(window.btnSend, Qt::LeftButton);  // returns once the send has ended
    QCOMPARE(window.lbStatus->text(), QStringLiteral("Sending the report was cancelled. The report stays in the log."));
    QCOMPARE(window.isVisible(), !escape);
    QVERIFY(window.btnSend->isEnabled());
    QCOMPARE(window.btnCancel->text(), QStringLiteral("Close"));
  }

  // Once the main window shows, each pending report in turn: declined,
  // sent, failed (kept, and the offer ends there).
  void pendingReportsAreOfferedOnceTheMainWindowShows() {
    const std::string declined = Pending(1000, "k1"), sent = Pending(2000, "k2"), failed = Pending(3000, "k3"),
                      later = Pending(4000, "k4");
    const auto question = [](std::time_t when) {
      return Text("Demo ended unexpectedly on " + DateTimeText(when) + ". Send the report to Quellmark?");
    };
    QStringList seen;
    const auto offer = [&](std::time_t when, const std::function<void(TfmVEKSendReport*)>& act) {
      WhenModal([&, when, act](QWidget* modal) {
        auto* window = qobject_cast<TfmVEKSendReport*>(modal);
        if (!window || window->lbQuestion->text() != question(when)) return false;
        seen << window->btnSend->text() + "/" + window->btnCancel->text();
        act(window);
        return true;
      });
    };
    offer(1000, [](TfmVEKSendReport* w) { QTest::mouseClick(w->btnCancel, Qt::LeftButton); });  // Don't send
    offer(2000, [&](TfmVEKSendReport* w) {
      QTest::mouseClick(w->btnSend, Qt::LeftButton);
      seen << w->lbStatus->text() + (fs::exists(sent) ? " (file kept)" : "");
      FCollector.reset();  // the collector goes down
      QTest::mouseClick(w->btnCancel, Qt::LeftButton);
    });
    offer(3000, [&](TfmVEKSendReport* w) {
      QTest::mouseClick(w->btnSend, Qt::LeftButton);
      seen << w->lbStatus->text();
      QTest::mouseClick(w->btnCancel, Qt::LeftButton);
    });
    UseReportServer(FCollector->Url());
    QWidget main(nullptr, Qt::Dialog);  // dialog-style, as the wizard's window
    main.show();
    QTRY_VERIFY2_WITH_TIMEOUT(seen.size() == 5, qPrintable(seen.join(QStringLiteral(" | "))), 30000);
    QCOMPARE(seen, (QStringList{"Send/Don't send", "Send/Don't send", "The report was sent. Its reference is R-2.",
                                "Send/Don't send",
                                "The report was not sent: the collector did not answer (Couldn't connect to server). "
                                "The report is kept and offered again at the next start."}));
    QVERIFY(!fs::exists(declined));
    QVERIFY(!fs::exists(sent));
    QVERIFY(fs::exists(failed));
    QVERIFY(fs::exists(later));
  }

  // Without a collector nothing is offered, whatever is pending.
  void withoutACollectorNothingIsOffered() {
    Pending(5000, "k5");
    bool offered = false;
    WhenModal([&](QWidget* modal) {
      offered = true;
      modal->close();
      return true;
    });
    UseReportServer("");
    QWidget main;
    main.show();
    OfferPendingReports(&main);
    QCoreApplication::processEvents();
    QVERIFY(!offered);
    QCOMPARE(PendingReports(VEKPendingReportsFolder(), "Demo").size(), std::size_t(3));
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  app.SetTitle("Demo");
  TMessageBox::SetAutoAnswer(true);
  SendReportTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "SendReportTest.moc"
