// The wizard window through its real widgets, on Qt's offscreen platform.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <utility>

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QtTest>

#include "app/F_Main.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "tests/support/TempDir.h"

namespace {
std::string Descriptor(const std::string& title, const std::string& version, const std::string& month = "03",
                       const std::string& eol = "\r\n") {
  return "[Product]" + eol + "ID=" + title + eol + "MODE=0" + eol + "VERSION=" + version + eol + "TITLE=" + title +
         eol + "CODE=C" + eol + "DAY=14" + eol + "MONTH=" + month + eol + "YEAR=2025" + eol;
}

QStringList Rows(QListWidget* list) {
  QStringList rows;
  for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
  return rows;
}

template <class T>
T* Find(QWidget* form, const char* name) {
  T* w = form->findChild<T*>(QString::fromLatin1(name));
  if (!w) qFatal("no control %s", name);
  return w;
}
}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT
 private slots:
  void init() { TMessageBox::ClearHistory(); }

  void layoutFollowsTheDesign() {
    TTempDir dir;
    dir.Write("a.ini", Descriptor("Image Tool", "2.1.0"));
    TfmMain form(dir.Path());
    QCOMPARE(form.objectName(), QStringLiteral("fmMain"));
    QCOMPARE(form.windowTitle(), QStringLiteral("Quellmark"));
    QCOMPARE(form.size(), QSize(442, 341));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(!(form.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(form.font().pixelSize(), 11);
    QCOMPARE(form.font().family(), QStringLiteral("Tahoma"));
    QCOMPARE(Find<QLabel>(&form, "lbTitle")->text(), QStringLiteral("Brevant Wizard"));
    QCOMPARE(Find<QLabel>(&form, "lbTitle")->font().pixelSize(), 16);
    QVERIFY(!Find<QLabel>(&form, "lbTitle")->font().bold());
    QCOMPARE(Find<QLabel>(&form, "lbTitle")->pos(), QPoint(52, 17));
    QCOMPARE(Find<QLabel>(&form, "imgTitle")->geometry(), QRect(8, 8, 32, 32));
    QVERIFY(!Find<QLabel>(&form, "imgTitle")->pixmap().isNull());
    QCOMPARE(Find<QLabel>(&form, "imgWizard")->size(), QSize(120, 253));
    QCOMPARE(form.Notebook1->size(), QSize(282, 263));
    QCOMPARE(form.Notebook1->count(), 3);

    // Start page
    QCOMPARE(form.ActivePage(), QStringLiteral("Start"));
    QCOMPARE(form.Label1->text(),
             QStringLiteral("The following software and components are installed on your computer. "));
    QCOMPARE(form.Label3->text(), QStringLiteral("Click on the next button to check if new versions are available."));
    QVERIFY(form.Label1->wordWrap());
    QCOMPARE(form.btnNext->text(), QStringLiteral("Next"));
    QCOMPARE(form.btnCancel->text(), QStringLiteral("Cancel"));
    QCOMPARE(form.btnNext->geometry(), QRect(117, 231, 75, 25));
    QCOMPARE(form.btnCancel->geometry(), QRect(197, 231, 75, 25));
    QCOMPARE(form.lstApp->frameShape(), QFrame::NoFrame);

    // Check page: every step line hidden until the check reaches it.
    const std::tuple<const char*, QPoint, QString> steps[] = {
        {"lb1", {36, 16}, "Connecting to server..."},
        {"lb2", {36, 40}, "Downloading informations...\nThis can take a few minutes."},
        {"lb3", {36, 76}, "Analysing..."},
        {"lb4", {36, 100}, "Disconnecting."},
        {"lbErr1", {152, 16}, "Error."},
        {"lbErr2", {176, 40}, "Error."},
        {"lbErr3", {96, 76}, "Error."},
    };
    for (const auto& [name, pos, text] : steps) {
      QLabel* l = Find<QLabel>(&form, name);
      QCOMPARE(l->pos(), pos);
      QCOMPARE(l->text(), text);
      QVERIFY(l->isHidden());
    }
    QCOMPARE(form.lb2->size(), QSize(145, 35));
    QVERIFY(form.lbErr1->font().bold());
    QCOMPARE(form.lbErr1->palette().color(QPalette::WindowText), QColor(0x80, 0, 0));
    // Shown, a mark takes the size of its bold text, at its place.
    form.lbErr3->show();
    QCOMPARE(form.lbErr3->geometry(), QRect(QPoint(96, 76), form.lbErr3->sizeHint()));
    form.lbErr3->hide();
    const QPoint marks[] = {{16, 17}, {16, 41}, {16, 77}, {16, 101}};
    const char* markNames[] = {"check1", "check2", "check3", "check4"};
    for (int i = 0; i < 4; ++i) {
      QLabel* m = Find<QLabel>(&form, markNames[i]);
      QCOMPARE(m->geometry(), QRect(marks[i], QSize(12, 13)));
      QVERIFY(m->isHidden());
    }
    QCOMPARE(form.pnSteps->size(), QSize(272, 130));
    QCOMPARE(form.lbAllOK->text(), QStringLiteral("You have last version for all products."));
    QVERIFY(form.lbAllOK->isHidden());
    QCOMPARE(form.btnExitCheck->text(), QStringLiteral("Exit"));
    QCOMPARE(form.btnExitCheck->geometry(), QRect(197, 231, 75, 25));
    QVERIFY(form.btnExitCheck->isHidden());

    // Results page
    QCOMPARE(form.Label2->text(),
             QStringLiteral("New versions are available for the following software and components. \n\n"
                            "Select those which you want to download. \n"
                            "Double click on a product to have more informations."));
    QCOMPARE(form.btnDownload->text(), QStringLiteral("Download"));
    QVERIFY(form.btnDownload->isEnabled());
    QCOMPARE(form.btnExitResults->text(), QStringLiteral("Exit"));
    QCOMPARE(form.btnDownload->geometry(), QRect(117, 231, 75, 25));
    QCOMPARE(form.btnExitResults->geometry(), QRect(197, 231, 75, 25));
  }

  void showingFocusesNextAndCancelCloses() {
    TTempDir dir;
    dir.Write("a.ini", Descriptor("Image Tool", "2.1.0"));
    TfmMain form(dir.Path());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(form.btnNext));
    QTest::mouseClick(form.btnCancel, Qt::LeftButton);
    QVERIFY(!form.isVisible());
    QCOMPARE(form.ActivePage(), QStringLiteral("Start"));
  }

  // Enter presses the focused button, as Space does; Escape does nothing.
  void enterPressesTheFocusedButton_data() {
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<bool>("closes");
    QTest::newRow("Return") << Qt::Key_Return << Qt::KeyboardModifiers(Qt::NoModifier) << true;
    QTest::newRow("keypad Enter") << Qt::Key_Enter << Qt::KeyboardModifiers(Qt::KeypadModifier) << true;
    QTest::newRow("Space") << Qt::Key_Space << Qt::KeyboardModifiers(Qt::NoModifier) << true;
    QTest::newRow("Escape") << Qt::Key_Escape << Qt::KeyboardModifiers(Qt::NoModifier) << false;
    QTest::newRow("Ctrl+Return") << Qt::Key_Return << Qt::KeyboardModifiers(Qt::ControlModifier) << false;
  }
  void enterPressesTheFocusedButton() {
    QFETCH(Qt::Key, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(bool, closes);
    TTempDir dir;
    dir.Write("a.ini", Descriptor("Image Tool", "2.1.0"));
    TfmMain form(dir.Path());
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.btnCancel->setFocus(Qt::TabFocusReason);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(form.btnCancel));
    QTest::keyClick(form.windowHandle(), key, modifiers);
    QCOMPARE(form.isVisible(), !closes);
    QCOMPARE(form.ActivePage(), QStringLiteral("Start"));
  }

  void listsEveryReadableProductAndReportsTheOthers() {
    TTempDir dir;
    dir.Write("1.ini", Descriptor("Alpha", "1.0"));
    dir.Write("2.ini", Descriptor("Beta", "2.0", "13"));
    dir.Write("3.ini", Descriptor("Gamma", "3.0"));
    TfmMain form(dir.Path());
    // The file system decides the order; the rows follow it, without the bad
    // one, each at the place of its product in the table.
    QStringList rows = Rows(form.lstApp);
    rows.sort();
    QCOMPARE(rows, QStringList({"Alpha 1.0", "Gamma 3.0"}));
    QCOMPARE(ProductCount, 2);
    const std::map<QString, std::pair<std::string, std::string>> product = {{"Alpha 1.0", {"Alpha", "1.0"}},
                                                                            {"Gamma 3.0", {"Gamma", "3.0"}}};
    for (int i = 0; i < 2; ++i) {
      QCOMPARE(form.lstApp->item(i)->data(Qt::UserRole).toInt(), i);
      const auto& [title, version] = product.at(form.lstApp->item(i)->text());
      QCOMPARE(Products.Title[TProductTable::Installed(i)], title);
      QCOMPARE(Products.Version[TProductTable::Installed(i)], version);
    }
    QCOMPARE(TMessageBox::History().size(), size_t(1));
    const TShownMessage& m = TMessageBox::History()[0];
    QCOMPARE(m.Text, "Error on reading file: " + dir.File("2.ini") + "\r\n\r\nInvalid argument to date encode");
    QCOMPARE(m.Caption, Application->Title());
    QCOMPARE(m.Icon, TMsgIcon::None);
    QVERIFY(!form.NoProduct());
  }

  void badDescriptorsNeverCostAGoodProduct() {
    TTempDir dir;
    std::string garbage(4096, '\0');
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 7919) % 251);
    dir.Write("garbage.ini", garbage);
    dir.Write("empty.ini", "");
    std::string huge(30 * 1024 * 1024, 'x');  // tens of megabytes without a line break
    dir.Write("huge.ini", Descriptor("Huge", "9") + huge);
    ::mkdir(dir.File("x.ini").c_str(), 0755);
    dir.Write("latin1.ini", Descriptor("Caf\xe9 Manager", "1.0"));
    dir.Write("cr.ini", Descriptor("Cr Only", "4", "03", "\r"));
    dir.Write("lf.ini", Descriptor("Lf Only", "5", "03", "\n"));
    dir.Write("noversion.ini", Descriptor("No Version", ""));
    dir.Write("readme.txt", Descriptor("Not A Descriptor", "1"));
    TfmMain form(dir.Path());
    QStringList rows = Rows(form.lstApp);
    rows.sort();
    QCOMPARE(rows, QStringList({QStringLiteral("Caf\u00e9 Manager 1.0"), QStringLiteral("Cr Only 4"),
                                QStringLiteral("Huge 9"), QStringLiteral("Lf Only 5"), QStringLiteral("No Version ")}));
    // garbage, empty and the folder each got their message
    QCOMPARE(TMessageBox::History().size(), size_t(3));
    bool sawFolder = false;
    for (const auto& m : TMessageBox::History())
      sawFolder |= m.Text == "Error on reading file: " + dir.File("x.ini") + "\r\n\r\nCannot open file \"" +
                                 dir.File("x.ini") + "\". Is a directory";
    QVERIFY(sawFolder);
  }

  void moreThanTwentySixProductsAreAllListed() {
    TTempDir dir;
    for (int i = 0; i < 30; ++i) dir.Write("p" + std::to_string(i) + ".ini", Descriptor("P" + std::to_string(i), "1"));
    TfmMain form(dir.Path());
    QCOMPARE(form.lstApp->count(), 30);
    QCOMPARE(ProductCount, 30);
    QVERIFY(TMessageBox::History().empty());
  }

  // Last: it asks the application to end.
  void noDescriptorSaysSoAndEnds() {
    TTempDir dir;
    dir.Write("readme.txt", "nothing here");
    TfmMain form(dir.Path());
    QVERIFY(form.NoProduct());
    QVERIFY(!form.isVisible());
    QCOMPARE(TMessageBox::History().size(), size_t(1));
    QCOMPARE(TMessageBox::History()[0].Text, std::string("No product of Quellmark was found on this computer."));
    QCOMPARE(TMessageBox::History()[0].Caption, std::string("Information"));
    QCOMPARE(TMessageBox::History()[0].Icon, TMsgIcon::Information);
    QVERIFY(Application->Terminated());
  }
};

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  TMessageBox::SetAutoAnswer(true);
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "MainWindowTest.moc"
