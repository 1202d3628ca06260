// The exception dialog through its real widgets, on Qt's offscreen platform:
// layout at design pixels, the detail toggle, keys, fields, the printout
// and the buttons that reach the interceptor and the log.
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <utility>

#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QtTest>

#include "diag/F_VEK_Exception.h"
#include "diag/F_VEK_Log.h"
#include "diag/U_VEK_Debug.h"
#include "diag/U_VEK_Global.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_System.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "runtime/Panel.h"
#include "tests/support/FakeSystem.h"
#include "tests/support/Modal.h"
#include "tests/support/TempDir.h"

namespace {

template <class T>
T* Find(QWidget* form, const char* name) {
  T* w = form->findChild<T*>(QString::fromLatin1(name));
  if (!w) qFatal("no control %s", name);
  return w;
}

TVEKExceptionInfos SampleInfos() {
  TVEKExceptionInfos infos;
  infos.ExceptionType = "EConvertError ( Exception )";
  infos.Message = "'x' is not a valid integer value\r\nSecond line";
  infos.AppPath = "/opt/demo/demo";
  infos.AppVersion = "1.2.3";
  infos.UnitName = "F_Main";
  infos.LineNumber = "42";
  infos.ClassName = "TfmMain";
  infos.FunctionName = "btnNextClick";
  infos.Address = "0x00005555DEADBEEF";
  infos.SenderClass = "QPushButton > QAbstractButton > QWidget > QObject";
  infos.SenderName = "btnNext";
  return infos;
}

// The number of pages of a PDF file and whether an image on its page has
// pixels of more than one colour.
struct TPdfFacts {
  int Pages = 0;
  int ImageWidth = 0, ImageHeight = 0;
  bool ImageHasContent = false;
};

TPdfFacts ReadPdf(const QString& file) {
  QFile f(file);
  TPdfFacts facts;
  if (!f.open(QIODevice::ReadOnly)) return facts;
  const std::string pdf = f.readAll().toStdString();
  const std::regex page("/Type\\s*/Page[^s]");
  facts.Pages = static_cast<int>(std::distance(std::sregex_iterator(pdf.begin(), pdf.end(), page), {}));
  // The image object: its size, its filter and its data.
  const auto image = pdf.find("/Subtype /Image");
  if (image == std::string::npos) return facts;
  const auto dictStart = pdf.rfind("<<", image);
  const auto streamAt = pdf.find("stream", image);
  const std::string dict = pdf.substr(dictStart, streamAt - dictStart);
  std::smatch m;
  if (std::regex_search(dict, m, std::regex("/Width (\\d+)"))) facts.ImageWidth = std::stoi(m[1]);
  if (std::regex_search(dict, m, std::regex("/Height (\\d+)"))) facts.ImageHeight = std::stoi(m[1]);
  std::size_t dataAt = streamAt + 6;
  while (dataAt < pdf.size() && (pdf[dataAt] == '\r' || pdf[dataAt] == '\n')) ++dataAt;
  std::size_t dataEnd = pdf.find("endstream", dataAt);
  if (dataEnd == std::string::npos) return facts;
  while (dataEnd > dataAt && (pdf[dataEnd - 1] == '\r' || pdf[dataEnd - 1] == '\n')) --dataEnd;
  const QByteArray data = QByteArray::fromStdString(pdf.substr(dataAt, dataEnd - dataAt));
  QImage picture;
  if (dict.find("/DCTDecode") != std::string::npos) {
    picture = QImage::fromData(data, "JPEG");
  } else if (dict.find("/FlateDecode") != std::string::npos) {
    // qUncompress wants the expected size first, big-endian.
    const quint32 size = static_cast<quint32>(facts.ImageWidth * facts.ImageHeight * 3);
    QByteArray framed;
    framed.append(static_cast<char>(size >> 24)).append(static_cast<char>(size >> 16));
    framed.append(static_cast<char>(size >> 8)).append(static_cast<char>(size));
    const QByteArray raw = qUncompress(framed + data);
    if (raw.size() >= static_cast<int>(size))
      picture = QImage(reinterpret_cast<const uchar*>(raw.constData()), facts.ImageWidth, facts.ImageHeight,
                       facts.ImageWidth * 3, QImage::Format_RGB888)
                    .copy();
  }
  if (picture.isNull()) return facts;
  QSet<QRgb> colours;
  for (int y = 0; y < picture.height() && colours.size() < 3; y += 3)
    for (int x = 0; x < picture.width() && colours.size() < 3; x += 3) colours.insert(picture.pixel(x, y));
  facts.ImageHasContent = colours.size() >= 3;
  return facts;
}

}  // namespace

class ExceptionDialogTest : public QObject {
  Q_OBJECT
  TTempDir FDir;
  std::unique_ptr<TFakeSystemScope> FSystem;

 private slots:
  void initTestCase() {
    // The interceptor of a program in a folder of its own, with the map the
    // build wrote for this test program.
    FSystem = std::make_unique<TFakeSystemScope>();
    FSystem->Process.Exe = FDir.File("Demo");
    std::filesystem::copy_file(TVEKDebug::MapFileNameFor(QCoreApplication::applicationFilePath().toStdString()),
                               FDir.File("Demo.map"));
    LogActive = false;
    VEKDebugger();
    QVERIFY(VEKDebug->GetMapFile()->Loaded());
    VEKApplication->LogFile->FileName = FDir.File("Demo.log");
  }
  void cleanupTestCase() {
    SafeFreeAndNil(VEKDebug);
    FinalizeVEKSystem();
    FSystem.reset();
  }
  void init() { TMessageBox::ClearHistory(); }

  void layoutFollowsTheDesign() {
    TfmVEKException form;
    QCOMPARE(form.objectName(), QStringLiteral("fmVEKException"));
    QCOMPARE(form.windowTitle(), QString::fromStdString(VEKApplication->Title));
    QCOMPARE(form.font().family(), QStringLiteral("MS Sans Serif"));
    QCOMPARE(form.font().pixelSize(), 11);
    QCOMPARE(form.palette().color(QPalette::Window), form.palette().color(QPalette::Midlight));
    QVERIFY(form.windowFlags() & Qt::WindowSystemMenuHint);
    QVERIFY(!(form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    // It opens compact: the client area at design is 377 x 344, less the
    // detail area's 219.
    QCOMPARE(form.size(), QSize(377, 125));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(form.pnDetail->isHidden());
    QCOMPARE(form.btnDetail->text(), QStringLiteral("Details >>"));

    struct TPlace {
      const char* Name;
      const char* Parent;
      QRect Geometry;
    };
    const TPlace places[] = {
        {"pnMain", "fmVEKException", {0, 0, 377, 125}},
        {"pnButtons", "pnMain", {287, 0, 90, 125}},  // right-aligned, 90 wide
        {"btnClose", "pnButtons", {8, 4, 75, 25}},
        {"btnDetail", "pnButtons", {8, 96, 75, 25}},
        {"pnMessage", "pnMain", {0, 0, 287, 125}},  // the rest of pnMain
        {"Panel2", "pnMessage", {6, 6, 45, 113}},   // inside a bevel and a 5-pixel border
        {"Image1", "Panel2", {4, 5, 32, 32}},
        {"Panel1", "pnMessage", {51, 6, 230, 113}},
        {"pnMessageTitle", "Panel1", {1, 1, 228, 19}},
        {"Panel3", "Panel1", {1, 20, 228, 74}},
        {"moMessage", "Panel3", {2, 2, 224, 70}},  // inside two bevels
        {"pnException", "Panel1", {1, 94, 228, 18}},
        {"pnDetail", "fmVEKException", {0, 125, 377, 219}},
        {"pnInfos", "pnDetail", {0, 0, 377, 187}},
        {"pnButtonsDetail", "pnDetail", {0, 187, 377, 32}},
        {"pnInfosSystem", "pnInfos", {6, 6, 365, 52}},
        {"gbExec", "pnInfosSystem", {1, 1, 363, 50}},
        {"pnSeparator", "pnInfos", {6, 58, 365, 4}},
        {"pnInfosExecution", "pnInfos", {6, 62, 365, 119}},
        {"gbSys", "pnInfosExecution", {1, 1, 363, 117}},
        {"btnCallstack", "pnButtonsDetail", {129, 2, 75, 25}},
        {"btnLog", "pnButtonsDetail", {213, 2, 75, 25}},
        {"btnPrint", "pnButtonsDetail", {293, 2, 75, 25}},
    };
    for (const TPlace& place : places) {
      QWidget* w = Find<QWidget>(&form, place.Name);
      QVERIFY2(w->parentWidget()->objectName() == QLatin1String(place.Parent), place.Name);
      QVERIFY2(w->geometry() == place.Geometry, place.Name);
    }
    QCOMPARE(form.pnMain->BevelOuter(), bvNone);
    QCOMPARE(form.pnDetail->BevelOuter(), bvNone);
    QCOMPARE(form.pnMessage->BorderWidth(), 5);
    QCOMPARE(form.pnInfos->BorderWidth(), 5);
    QCOMPARE(form.Panel3->BevelInner(), bvLowered);

    struct TRow {
      const char* Group;
      int Top;
      const char* Label;
      const char* Caption;
      const char* Field;
    };
    const TRow rows[] = {
        {"gbExec", 16, "lbAppPath", "Path", "edAppPath"},
        {"gbExec", 30, "lbAppVer", "Version", "edAppVer"},
        {"gbSys", 16, "lbUnit", "Unit", "edUnit"},
        {"gbSys", 30, "lbLine", "Line", "edLine"},
        {"gbSys", 44, "lbClass", "Class", "edClass"},
        {"gbSys", 58, "lbProc", "Method", "edProc"},
        {"gbSys", 72, "lbAddr", "Address", "edAddr"},
        {"gbSys", 86, "lbSenderClass", "Sender Class", "edSenderClass"},
        {"gbSys", 100, "lbSenderName", "Sender Name", "edSenderName"},
    };
    for (const TRow& row : rows) {
      auto* label = Find<QLabel>(&form, row.Label);
      auto* field = Find<QLineEdit>(&form, row.Field);
      QVERIFY2(label->parentWidget()->objectName() == QLatin1String(row.Group), row.Label);
      QVERIFY2(field->parentWidget()->objectName() == QLatin1String(row.Group), row.Field);
      QCOMPARE(label->pos(), QPoint(12, row.Top));
      QCOMPARE(label->text(), QString::fromLatin1(row.Caption));
      QCOMPARE(field->geometry(), QRect(85, row.Top, 250, 13));
      QVERIFY(field->isReadOnly());
      QVERIFY(!field->hasFrame());
      QCOMPARE(field->font().family(), QStringLiteral("Arial"));
      QCOMPARE(field->font().pixelSize(), 11);
      QCOMPARE(field->palette().color(QPalette::Base), field->palette().color(QPalette::Button));
    }
    QCOMPARE(form.gbExec->title(), QStringLiteral("Application Informations"));
    QCOMPARE(form.gbSys->title(), QStringLiteral("Execution Informations"));
    QCOMPARE(form.btnClose->text(), QStringLiteral("Close"));
    QCOMPARE(form.btnCallstack->text(), QStringLiteral("View &callstack"));
    QCOMPARE(form.btnLog->text(), QStringLiteral("View &logfile"));
    QCOMPARE(form.btnPrint->text(), QStringLiteral("&Print"));
    QCOMPARE(form.pnMessageTitle->Caption(), QStringLiteral("This module has encounter the following error:"));
    QCOMPARE(form.pnMessageTitle->font().family(), QStringLiteral("Arial"));
    QCOMPARE(form.pnException->Caption(), QStringLiteral(" EXCEPTION NAME"));
    QCOMPARE(form.pnException->palette().color(QPalette::WindowText), QColor(0x80, 0, 0));
    QVERIFY(form.moMessage->isReadOnly());
    QCOMPARE(form.moMessage->frameShape(), QFrame::NoFrame);
    QCOMPARE(form.moMessage->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(form.moMessage->focusPolicy(), Qt::ClickFocus);  // no tab stop
  }

  void thePictureIsAWhiteCrossOnARedDisc() {
    TfmVEKException form;
    const QImage picture = form.Image1->pixmap().toImage();
    QCOMPARE(picture.size(), QSize(32, 32));
    const QColor centre = picture.pixelColor(16, 16), corner = picture.pixelColor(0, 0);
    const QColor disc = picture.pixelColor(16, 5), beside = picture.pixelColor(5, 16);
    QVERIFY(centre.red() > 240 && centre.green() > 240 && centre.blue() > 240);
    QCOMPARE(corner.alpha(), 0);
    for (const QColor& red : {disc, beside}) QVERIFY(red.red() > 150 && red.green() < 100 && red.blue() < 100);
  }

  void detailsExpandByTheDetailAreaAndBack() {
    TfmVEKException form;
    form.ShowInfos(SampleInfos(), true, true);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(form.btnDetail, Qt::LeftButton);
    QCOMPARE(form.size(), QSize(377, 344));
    QCOMPARE(form.btnDetail->text(), QStringLiteral("Details <<"));
    QVERIFY(form.pnDetail->isVisible());
    QTest::mouseClick(form.btnDetail, Qt::LeftButton);
    QCOMPARE(form.size(), QSize(377, 125));
    QCOMPARE(form.btnDetail->text(), QStringLiteral("Details >>"));
    QVERIFY(!form.pnDetail->isVisible());
  }

  void tabRunsThroughButtonsFieldsAndDetailButtons() {
    TfmVEKException form;
    form.ShowInfos(SampleInfos(), true, true);
    form.btnDetail->click();
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(form.btnClose));
    const QStringList expected = {"btnDetail", "edAppVer", "edAppPath",    "edUnit",        "edLine",
                                  "edClass",   "edProc",   "edAddr",       "edSenderClass", "edSenderName",
                                  "btnLog",    "btnPrint", "btnCallstack", "btnClose"};
    QStringList visited;
    for (int i = 0; i < expected.size(); ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, expected);
  }

  void escapeInAnyControlClosesWithResultOne_data() {
    QTest::addColumn<QString>("control");
    for (const char* name :
         {"btnClose", "btnDetail", "moMessage", "edAppPath", "edAppVer", "edUnit", "edLine", "edClass", "edProc",
          "edAddr", "edSenderClass", "edSenderName", "btnCallstack", "btnLog", "btnPrint"})
      QTest::newRow(name) << QString::fromLatin1(name);
  }
  void escapeInAnyControlClosesWithResultOne() {
    QFETCH(QString, control);
    TfmVEKException form;
    form.ShowInfos(SampleInfos(), true, true);
    form.btnDetail->click();
    form.open();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QWidget* w = form.findChild<QWidget*>(control);
    QVERIFY(w);
    QTest::keyClick(w, Qt::Key_Escape);
    QVERIFY(!form.isVisible());
    QCOMPARE(form.result(), 1);
  }

  void fieldsShowTheInfos() {
    TfmVEKException form;
    TVEKExceptionInfos infos = SampleInfos();
    form.ShowInfos(infos, true, true);
    QCOMPARE(form.moMessage->toPlainText(), QStringLiteral("'x' is not a valid integer value\nSecond line"));
    QCOMPARE(form.pnException->Caption(), QStringLiteral(" EConvertError ( Exception )"));
    const std::pair<QLineEdit*, std::string> fields[] = {
        {form.edAppPath, infos.AppPath}, {form.edAppVer, infos.AppVersion},       {form.edUnit, infos.UnitName},
        {form.edLine, infos.LineNumber}, {form.edClass, infos.ClassName},         {form.edProc, infos.FunctionName},
        {form.edAddr, infos.Address},    {form.edSenderClass, infos.SenderClass}, {form.edSenderName, infos.SenderName},
    };
    for (const auto& [field, text] : fields) QCOMPARE(field->text(), QString::fromStdString(text));
    QVERIFY(!form.btnDetail->isHidden());
    QVERIFY(form.btnLog->isEnabled());

    // Without a map there are no details; without a log, no log button.
    form.ShowInfos(TVEKExceptionInfos(), false, false);
    QVERIFY(form.btnDetail->isHidden());
    QVERIFY(!form.btnLog->isEnabled());
  }

  void aLongMessageScrolls() {
    TfmVEKException form;
    TVEKExceptionInfos infos = SampleInfos();
    infos.Message.clear();
    for (int i = 1; i <= 30; ++i) infos.Message += "Line " + std::to_string(i) + "\r\n";
    form.ShowInfos(infos, false, false);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(form.moMessage->verticalScrollBar()->maximum() > 0);
  }

  void printsTheClientAreaOnOnePage_data() {
    QTest::addColumn<bool>("expanded");
    QTest::newRow("compact") << false;
    QTest::newRow("expanded") << true;
  }
  void printsTheClientAreaOnOnePage() {
    QFETCH(bool, expanded);
    TfmVEKException form;
    form.ShowInfos(SampleInfos(), true, true);
    if (expanded) form.btnDetail->click();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QString file = QString::fromStdString(FDir.File(expanded ? "expanded.pdf" : "compact.pdf"));
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(file);
    QVERIFY(form.PrintForm(printer));
    const TPdfFacts pdf = ReadPdf(file);
    QCOMPARE(pdf.Pages, 1);
    QCOMPARE(QSize(pdf.ImageWidth, pdf.ImageHeight), form.size());
    QVERIFY(pdf.ImageHasContent);
  }

  void printWithoutAPrinterAsksWhereToPrint() {
    if (!QPrinterInfo::defaultPrinter().isNull()) QSKIP("a printer is installed here");
    TfmVEKException form;
    form.ShowInfos(SampleInfos(), true, true);
    form.btnDetail->click();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QString file = QString::fromStdString(FDir.File("chosen.pdf"));
    bool asked = false;
    // The user picks a PDF file in the print dialog.
    WhenModal([&](QWidget* modal) {
      auto* dialog = qobject_cast<QPrintDialog*>(modal);
      if (!dialog) return false;
      asked = true;
      auto* fileName = dialog->findChild<QLineEdit*>(QStringLiteral("filename"));
      if (fileName) fileName->setText(file);
      dialog->accept();
      return true;
    });
    QTest::mouseClick(form.btnPrint, Qt::LeftButton);
    QVERIFY(asked);
    QCOMPARE(ReadPdf(file).Pages, 1);
    QVERIFY(ReadPdf(file).ImageHasContent);

    // Cancelled: nothing printed, nothing reported.
    WhenModal([&](QWidget* modal) {
      auto* dialog = qobject_cast<QPrintDialog*>(modal);
      if (dialog) dialog->reject();
      return dialog != nullptr;
    });
    QTest::mouseClick(form.btnPrint, Qt::LeftButton);
    QVERIFY(TMessageBox::History().empty());
  }

  void theCallStackButtonShowsTheWalkTakenAtTheClick() {
    TfmVEKException form;
    form.ShowInfos(SampleInfos(), true, true);
    form.btnDetail->click();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(form.btnCallstack, Qt::LeftButton);
    QCOMPARE(TMessageBox::History().size(), std::size_t(1));
    const std::string text = TMessageBox::History()[0].Text;
    QCOMPARE(TMessageBox::History()[0].Caption, Application->Title());
    QCOMPARE(text.substr(0, text.find("\r\n")), std::string("U_VEK_Debug::TVEKDebug.GetCallStack"));
    QVERIFY2(text.find("\r\nF_VEK_Exception::TfmVEKException.btnCallstackClick\r\n") != std::string::npos,
             text.c_str());
    QVERIFY2(text.find("\r\nExceptionDialogTest::main") != std::string::npos, text.c_str());
  }

  void theLogButtonShowsTheLogAboveTheDialog() {
    auto clock = std::exchange(VEKApplication->LogFile->Clock, [] { return std::string("06/12/2026 23:41:34"); });
    VEKApplication->LogFile->SetActive(true);
    VEKApplication->LogFile->Write(llInfo, "an entry", false);
    {
      TfmVEKException form;
      form.ShowInfos(SampleInfos(), true, VEKApplication->LogFile->Active());
      form.btnDetail->click();
      form.open();
      QVERIFY(QTest::qWaitForWindowExposed(&form));
      QTest::mouseClick(form.btnLog, Qt::LeftButton);
      TfmVEKLog* viewer = VEKApplication->LogFile->Viewer;
      QVERIFY(viewer->isVisible());
      QCOMPARE(viewer->windowModality(), Qt::ApplicationModal);  // usable above the modal dialog
      QCOMPARE(viewer->Memo->document()->lastBlock().text(),
               QStringLiteral("# 06/12/2026 23:41:34 [ INFO   ] an entry"));
      viewer->close();
      QCOMPARE(viewer->windowModality(), Qt::NonModal);  // a later ShowLog blocks nothing
    }
    VEKApplication->LogFile->SetActive(false);
    VEKApplication->LogFile->Clock = std::move(clock);
  }

  // A screen reader walking the dialog finds the painted captions.
  void thePaintedCaptionsAreAccessibleNames() {
    TfmVEKException form;
    form.ShowInfos(SampleInfos(), true, true);
    QStringList names;
    const std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
      names << node->text(QAccessible::Name);
      for (int i = 0; i < node->childCount(); ++i) walk(node->child(i));
    };
    walk(QAccessible::queryAccessibleInterface(&form));
    QVERIFY(names.contains(QStringLiteral("This module has encounter the following error:")));
    QVERIFY(names.contains(QStringLiteral("EConvertError ( Exception )")));
  }

  void showExceptionDialogFillsItFromTheInterceptorAndFreesIt() {
    QPointer<TfmVEKException> shown;
    TVEKExceptionInfos seen;
    WhenModal([&](QWidget* modal) {
      shown = qobject_cast<TfmVEKException*>(modal);
      if (!shown) return false;
      seen.Message = shown->moMessage->toPlainText().toStdString();
      seen.SenderName = shown->edSenderName->text().toStdString();
      seen.ExceptionType = shown->pnException->Caption().toStdString();
      seen.AppTitle = shown->windowTitle().toStdString();
      QTest::keyClick(shown->btnClose, Qt::Key_Escape);
      return true;
    });
    QObject sender;
    sender.setObjectName(QStringLiteral("Sender1"));
    const EConvertError error("Not a number");
    ShowExceptionDialog(nullptr, &sender, &error);
    QVERIFY(shown.isNull());  // freed when closed
    QCOMPARE(seen.Message, std::string("Not a number"));
    QCOMPARE(seen.SenderName, std::string("Sender1"));
    QCOMPARE(seen.ExceptionType, std::string(" EConvertError ( Exception )"));
    QCOMPARE(seen.AppTitle, Application->Title());
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  app.SetTitle("DialogTest");
  TMessageBox::SetAutoAnswer(true);
  ExceptionDialogTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ExceptionDialogTest.moc"
