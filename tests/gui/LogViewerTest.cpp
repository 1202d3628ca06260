// The log viewer window through its real widgets, on Qt's offscreen platform.
#include <QFile>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextBlock>
#include <QtTest>

#include "diag/F_VEK_Log.h"
#include "diag/U_VEK_LogFile.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "tests/support/TempDir.h"

namespace {
template <class T>
T* Find(QWidget* form, const char* name) {
  T* w = form->findChild<T*>(QString::fromLatin1(name));
  if (!w) qFatal("no control %s", name);
  return w;
}

QStringList ShownLines(const TfmVEKLog& form) {
  QStringList lines;
  for (QTextBlock b = form.Memo->document()->begin(); b.isValid(); b = b.next()) lines << b.text();
  return lines;
}
}  // namespace

class LogViewerTest : public QObject {
  Q_OBJECT
 private slots:
  void layoutFollowsTheDesign() {
    TfmVEKLog form;
    Application->SetTitle("Renamed");  // the caption was fixed at creation
    QCOMPARE(form.objectName(), QStringLiteral("fmVEKLog"));
    QCOMPARE(form.windowTitle(), QStringLiteral("Brevant - Log"));
    QVERIFY(!form.isVisible());
    QVERIFY(form.isWindow());
    QCOMPARE(form.windowModality(), Qt::NonModal);
    QCOMPARE(form.font().family(), QStringLiteral("MS Sans Serif"));
    QCOMPARE(form.font().pixelSize(), 11);
    QCOMPARE(form.backgroundRole(), QPalette::Button);
    QVERIFY(form.findChildren<QWidget*>().isEmpty());  // the controls come with the first display

    form.ShowLines({"x"});
    // The family is registered when the window is first shown, and it is
    // the one the text is drawn in (where the system has the font file).
    if (QFile::exists(QStringLiteral("/usr/share/wine/fonts/ms_sans_serif.ttf")))
      QCOMPARE(form.fontInfo().family(), QStringLiteral("MS Sans Serif"));
    if (form.frameGeometry().size() == form.size())
      QCOMPARE(form.size(), QSize(492, 323));
    else
      QCOMPARE(form.frameGeometry().size(), QSize(500, 350));
    const QRect area = form.screen()->availableGeometry();
    QVERIFY((form.frameGeometry().center() - area.center()).manhattanLength() <= 2);

    QCOMPARE(Find<QWidget>(&form, "pnMain")->geometry(), QRect(0, 0, form.width(), form.height() - 32));
    QCOMPARE(Find<QWidget>(&form, "pnButtons")->geometry(), QRect(0, form.height() - 32, form.width(), 32));
    auto* memo = Find<QPlainTextEdit>(&form, "Memo");
    QCOMPARE(memo->parentWidget()->objectName(), QStringLiteral("pnMain"));
    // Inside the outer bevel, the 5-pixel border and the inner bevel.
    QCOMPARE(memo->geometry(), QRect(7, 7, form.width() - 14, form.height() - 32 - 14));
    QVERIFY(memo->isReadOnly());
    QCOMPARE(memo->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(memo->frameShape(), QFrame::NoFrame);
    QCOMPARE(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(memo->font().family(), QStringLiteral("Courier New"));
    QCOMPARE(memo->font().pixelSize(), 11);

    auto* close = Find<QPushButton>(&form, "btnClose");
    QCOMPARE(close->text(), QStringLiteral("Close"));
    QCOMPARE(close->parentWidget()->objectName(), QStringLiteral("pnButtons"));
    form.resize(492, 323);
    QCOMPARE(close->geometry(), QRect(408, 4, 75, 25));
    // Anchored to the top right: it follows the right edge.
    form.resize(700, 400);
    QCOMPARE(close->geometry(), QRect(616, 4, 75, 25));
    Application->SetTitle("Brevant");
  }

  void showCloseShowShowsOnlyTheSecondSnapshot() {
    TfmVEKLog form;
    form.ShowLines({"first 1", "first 2"});
    QVERIFY(form.isVisible());
    QCOMPARE(ShownLines(form), QStringList({"first 1", "first 2"}));
    QTest::mouseClick(form.btnClose, Qt::LeftButton);
    QVERIFY(!form.isVisible());
    QVERIFY(form.Memo->document()->isEmpty());  // hiding drops the text

    form.ShowLines({"second"});
    QCOMPARE(ShownLines(form), QStringList({"second"}));
    // Shown again while visible: stays visible with the new content.
    form.ShowLines({"third", "fourth"});
    QVERIFY(form.isVisible());
    QCOMPARE(ShownLines(form), QStringList({"third", "fourth"}));
    // The close box hides it the same way.
    QVERIFY(form.close());
    QVERIFY(!form.isVisible());
    QVERIFY(form.Memo->document()->isEmpty());
  }

  void enterOnTheFocusedCloseHidesIt() {
    TfmVEKLog form;
    form.ShowLines({"x"});
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.btnClose->setFocus(Qt::TabFocusReason);
    QTest::keyClick(form.windowHandle(), Qt::Key_Return);
    QVERIFY(!form.isVisible());
  }

  void multiLineEntryShowsAsSeveralLines() {
    TfmVEKLog form;
    form.ShowLines({"# 06/12/2026 23:41:40 [ INFO   ] first\r\n                                 second", "# ends\r\n  ",
                    "# lone\nlf", "caf\xC3\xA9", "\xE9t\xE9"});
    QCOMPARE(ShownLines(form),
             QStringList({"# 06/12/2026 23:41:40 [ INFO   ] first", "                                 second", "# ends",
                          "  ", "# lone", "lf", QString::fromUtf8("caf\xC3\xA9"), QString::fromLatin1("\xE9t\xE9")}));
    form.close();
  }

  void closingNeverEndsTheProgram() {
    TfmVEKLog form;
    QVERIFY(!form.testAttribute(Qt::WA_QuitOnClose));
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    form.ShowLines({"x"});
    QTest::mouseClick(form.btnClose, Qt::LeftButton);
    QCoreApplication::processEvents();
    QCOMPARE(lastClosed.count(), 0);
    QVERIFY(!form.testAttribute(Qt::WA_DeleteOnClose));
  }

  void theLogShowsASnapshotOnlyWhileLoggingIsOn() {
    TTempDir dir;
    QPointer<TfmVEKLog> viewer;
    {
      TVEKLogFile log;
      log.FileName = dir.File("Brevant.log");
      QVERIFY(log.Viewer);
      viewer = log.Viewer;
      QVERIFY(!viewer->isVisible());
      log.ShowLog();
      QVERIFY(!viewer->isVisible());

      log.SetActive(true);
      log.ShowLog();
      QVERIFY(viewer->isVisible());
      QCOMPARE(ShownLines(*viewer).size(), 9);
      log.Write(llInfo, "a\r\nb", false);
      QCOMPARE(ShownLines(*viewer).size(), 9);  // a snapshot
      log.ShowLog();
      QCOMPARE(ShownLines(*viewer).size(), 11);
      log.SetActive(false);
    }
    QVERIFY(viewer.isNull());  // the log file released its viewer
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  app.SetTitle("Brevant");
  TMessageBox::SetAutoAnswer(true);
  LogViewerTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "LogViewerTest.moc"
