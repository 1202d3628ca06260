#include "app/F_Main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStackedWidget>

#include "app/F_History.h"
#include "app/U_FileList.h"
#include "app/U_UpdateCheck.h"
#include "app/WizardLook.h"
#include "diag/U_VEK_ExecuteFile.h"
#include "platform/DirEnum.h"
#include "runtime/Application.h"
#include "runtime/BusyWait.h"
#include "runtime/MessageBox.h"

TProductTable Products;
std::int32_t ProductCount = 0;
TfmMain* fmMain = nullptr;

namespace {
// Sets a flag for as long as it lives.
class TFlagScope {
 public:
  explicit TFlagScope(bool& flag) : FFlag(flag) { FFlag = true; }
  ~TFlagScope() { FFlag = false; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& FFlag;
};

std::string FileNameOf(const std::string& path) {
  const auto slash = path.find_last_of(PathDelim);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of(PathDelim);
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}
}  // namespace

TfmMain::TfmMain(const std::string& productFolder, QWidget* parent) : QWidget(parent), FProductFolder(productFolder) {
  if (FProductFolder.empty() && Application) FProductFolder = FolderOf(Application->ExeName());
  InternetOpener = [](const std::string& agent) { return TInternetSession::Open(agent); };
  BuildControls();
  FormCreate();
}

TfmMain::~TfmMain() {
  if (fmMain == this) fmMain = nullptr;
}

void TfmMain::BuildControls() {
  setObjectName(QStringLiteral("fmMain"));
  SetupDialogWindow(this, "Quellmark", 442, 341);

  // Frame of 5 pixels, then the lowered panel with title strip and body.
  QFrame* pnMain = MakeBevel(this, "pnMain", QFrame::Sunken, 5, 5, 432, 331);
  MakeTitleStrip(pnMain, 430, "Brevant Wizard", imgTitle, lbTitle);

  // Body: the side picture in a 5-pixel border, the page area to its right.
  constexpr int BodyTop = 1 + 48 + 8;
  imgWizard = MakePicture(pnMain, "imgWizard", "side", 1 + 5, BodyTop + 5, 120, 253);

  Notebook1 = new QStackedWidget(pnMain);
  Notebook1->setObjectName(QStringLiteral("Notebook1"));
  Notebook1->setGeometry(431 - 8 - 282, BodyTop, 282, 263);

  // Every page: a 5-pixel border; its inner area is 272 x 253, with the
  // button strip at its bottom and buttons at (112, 8) and (192, 8) in it.
  constexpr int Inner = 5, Width = 272, StripTop = Inner + 253 - 35;
  constexpr int LeftButton = Inner + 112, RightButton = Inner + 192, ButtonTop = StripTop + 8;

  pgStart = MakePage(Notebook1, "Start");
  Label1 = MakeLabel(pgStart, "Label1", "The following software and components are installed on your computer. ", Inner,
                     Inner, Width, 35, true);
  QFrame* pnApp = MakeBevel(pgStart, "pnApp", QFrame::Sunken, Inner, Inner + 35, Width, StripTop - 35 - 35 - Inner);
  lstApp = MakeList(pnApp, "lstApp", QPalette::Window);
  Label3 = MakeLabel(pgStart, "Label3", "Click on the next button to check if new versions are available.", Inner,
                     StripTop - 35, Width, 35, true);
  btnNext = MakeButton(pgStart, "btnNext", "Next", LeftButton, ButtonTop);
  btnCancel = MakeButton(pgStart, "btnCancel", "Cancel", RightButton, ButtonTop);

  pgCheck = MakePage(Notebook1, "Check");
  pnSteps = MakeBevel(pgCheck, "pnSteps", QFrame::Sunken, Inner, Inner, Width, 130);
  check1 = MakePicture(pnSteps, "check1", "check", 16, 17, 12, 13);
  check2 = MakePicture(pnSteps, "check2", "check", 16, 41, 12, 13);
  check3 = MakePicture(pnSteps, "check3", "check", 16, 77, 12, 13);
  check4 = MakePicture(pnSteps, "check4", "check", 16, 101, 12, 13);
  lb1 = MakeLabel(pnSteps, "lb1", "Connecting to server...", 36, 16);
  lb2 = MakeLabel(pnSteps, "lb2", "Downloading informations...\r\nThis can take a few minutes.", 36, 40, 145, 35, true);
  lb3 = MakeLabel(pnSteps, "lb3", "Analysing...", 36, 76);
  lb4 = MakeLabel(pnSteps, "lb4", "Disconnecting.", 36, 100);
  lbErr1 = MakeErrorMark(pnSteps, "lbErr1", 152, 16);
  lbErr2 = MakeErrorMark(pnSteps, "lbErr2", 176, 40);
  lbErr3 = MakeErrorMark(pnSteps, "lbErr3", 96, 76);
  for (QWidget* w : {static_cast<QWidget*>(check1), static_cast<QWidget*>(check2), static_cast<QWidget*>(check3),
                     static_cast<QWidget*>(check4), static_cast<QWidget*>(lb1), static_cast<QWidget*>(lb2),
                     static_cast<QWidget*>(lb3), static_cast<QWidget*>(lb4), static_cast<QWidget*>(lbErr1),
                     static_cast<QWidget*>(lbErr2), static_cast<QWidget*>(lbErr3)})
    w->setVisible(false);
  lbAllOK =
      MakeLabel(pgCheck, "lbAllOK", "You have last version for all products.", Inner, StripTop - 35, Width, 35, true);
  lbAllOK->setVisible(false);
  btnExitCheck = MakeButton(pgCheck, "btnExitCheck", "Exit", RightButton, ButtonTop);
  btnExitCheck->setVisible(false);

  pgResults = MakePage(Notebook1, "Results");
  Label2 = MakeLabel(pgResults, "Label2",
                     "New versions are available for the following software and components. \r\n\r\n"
                     "Select those which you want to download. \r\n"
                     "Double click on a product to have more informations.",
                     Inner, Inner, Width, 80, true);
  QFrame* pnNew = MakeBevel(pgResults, "pnNew", QFrame::Sunken, Inner, Inner + 80, Width, StripTop - 80 - Inner);
  lstNew = MakeList(pnNew, "lstNew", QPalette::Base);
  btnDownload = MakeButton(pgResults, "btnDownload", "Download", LeftButton, ButtonTop);
  btnExitResults = MakeButton(pgResults, "btnExitResults", "Exit", RightButton, ButtonTop);

  // Handlers run guarded: what escapes them goes to the application's
  // exception handling, never through the toolkit.
  auto bind = [this](auto handler) {
    return [this, handler] {
      if (Application)
        Application->Guard([this, handler] { (this->*handler)(); });
      else
        (this->*handler)();
    };
  };
  connect(btnNext, &QPushButton::clicked, this, bind(&TfmMain::btnNextClick));
  connect(btnCancel, &QPushButton::clicked, this, bind(&TfmMain::btnCancelClick));
  connect(btnExitCheck, &QPushButton::clicked, this, bind(&TfmMain::btnCancelClick));
  connect(btnExitResults, &QPushButton::clicked, this, bind(&TfmMain::btnCancelClick));
  connect(btnDownload, &QPushButton::clicked, this, bind(&TfmMain::btnProcessClick));
  connect(lstNew, &QListWidget::itemChanged, this, bind(&TfmMain::lstNewClickCheck));
  connect(lstNew, &QListWidget::itemDoubleClicked, this, bind(&TfmMain::lstNewDblClick));
  FShowHistory = bind(&TfmMain::lstNewDblClick);
  lstNew->installEventFilter(this);
}

void TfmMain::SetActivePage(const QString& name) {
  for (int i = 0; i < Notebook1->count(); ++i)
    if (Notebook1->widget(i)->objectName() == name) Notebook1->setCurrentIndex(i);
}

QString TfmMain::ActivePage() const {
  return Notebook1->currentWidget() ? Notebook1->currentWidget()->objectName() : QString();
}

void TfmMain::FormCreate() {
  ProductCount = 0;
  SetActivePage(QStringLiteral("Start"));
  {
    TFileList files(FProductFolder, "*.ini", faAnyFile);
    for (int i = 0; i < files.Count; ++i) {
      const TFileItem& item = files.Items(i);
      try {
        const TDescriptor d = ReadDescriptor(item.FullName);
        const int place = ProductCount;
        Products.Store(place, d);
        auto* row = new QListWidgetItem(ToQString(d.Title + " " + d.Version));
        row->setData(Qt::UserRole, place);
        lstApp->addItem(row);
        ++ProductCount;
      } catch (const std::exception& e) {
        ShowMessage("Error on reading file: " + item.FullName + "\r\n\r\n" + e.what());
      }
    }
  }
  if (ProductCount == 0) {
    TMessageBox::Show("No product of Quellmark was found on this computer.", "Information", TMsgIcon::Information);
    FNoProduct = true;
    if (Application) Application->Terminate();
  }
}

void TfmMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) btnNext->setFocus(Qt::OtherFocusReason);
}

bool TfmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == lstNew && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && !key->isAutoRepeat() &&
        (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && lstNew->currentItem()) {
      FShowHistory();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TfmMain::closeEvent(QCloseEvent* event) {
  if (!FBusy) {
    QWidget::closeEvent(event);
    return;
  }
  // During the check or the download: it ends first, then closes the window.
  event->ignore();
  FEnding = true;
  if (FSession) FSession->Cancel();
}

void TfmMain::Pause(int ms) {
  PauseWithoutInput(ms, [this] { return FEnding; });
}

void TfmMain::btnCancelClick() {
  close();
}

void TfmMain::RepaintNow() {
  repaint();
}

void TfmMain::ShowSteps(std::initializer_list<QWidget*> controls) {
  for (QWidget* w : controls) w->setVisible(true);
  RepaintNow();
}

bool TfmMain::OpenInternetHandle() {
  FSession = InternetOpener(FileNameOf(Application ? Application->ExeName() : std::string("Brevant")));
  if (FSession) FSession->SetWaitHandler(ProcessEventsWithoutInput);
  return FSession != nullptr;
}

void TfmMain::CloseInternetHandle() {
  FSession.reset();
}

bool TfmMain::ReadLatestValues() {
  const TLatestValues latest = FetchLatestValues(*FSession, Products, ProductCount, UpdateServerBase());
  for (std::size_t place = 0; place < latest.Products.size(); ++place) {
    const TProductLatest& product = latest.Products[place];
    if (!product.RecordFetched) break;
    const std::size_t out = TProductTable::Latest(static_cast<int>(place));
    Products.Version[out] = product.Version;
    Products.History[out] = product.History;
    if (!product.Latest) break;
    Products.Day[out] = product.Latest->Day;
    Products.Month[out] = product.Latest->Month;
    Products.Year[out] = product.Latest->Year;
    Products.Date[out] = product.Latest->Date;
  }
  // A check that ends because the window is closing shows no error mark.
  if (latest.ErrorMark() && !FEnding) lbErr2->setVisible(true);
  return !latest.Failed && !latest.Cancelled;
}

void TfmMain::btnNextClick() {
  FEnding = false;
  {
    TFlagScope busy(FBusy);
    CheckForUpdates();
  }
  if (FEnding) close();
}

void TfmMain::CheckForUpdates() {
  SetActivePage(QStringLiteral("Check"));
  QApplication::setOverrideCursor(Qt::WaitCursor);
  ShowSteps({check1, lb1});
  Pause(250);

  // Closes the Internet handle and gives the mouse pointer back: at the end,
  // or at once when the window is to close.
  auto finish = [this] {
    CloseInternetHandle();
    QApplication::restoreOverrideCursor();
  };
  auto failCheck = [this, finish] {
    finish();
    if (FEnding) return;
    btnExitCheck->setVisible(true);
    btnExitCheck->setFocus(Qt::OtherFocusReason);
    RepaintNow();
  };

  if (FEnding) return finish();
  if (!OpenInternetHandle()) {
    lbErr1->setVisible(true);
    failCheck();
    return;
  }
  ShowSteps({check2, lb2});

  if (!ReadLatestValues()) {
    failCheck();
    return;
  }

  ShowSteps({check3, lb3});
  Pause(250);
  if (FEnding) return finish();
  try {
    lstNew->clear();
    for (const int place : PlacesWithUpdates(Products, ProductCount)) {
      const std::size_t in = TProductTable::Installed(place), out = TProductTable::Latest(place);
      auto* row = new QListWidgetItem(
          ToQString(Products.Title[in] + " " + Products.Version[in] + " -> " + Products.Version[out]));
      row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
      row->setCheckState(Qt::Checked);
      row->setData(Qt::UserRole, place);
      lstNew->addItem(row);
    }
  } catch (const std::exception&) {
    lbErr3->setVisible(true);
    failCheck();
    return;
  }

  ShowSteps({check4, lb4});
  Pause(250);
  finish();
  if (FEnding) return;
  if (lstNew->count() > 0) {
    btnDownload->setEnabled(true);
    SetActivePage(QStringLiteral("Results"));
  } else {
    lbAllOK->setVisible(true);
    btnExitCheck->setVisible(true);
  }
  RepaintNow();
}

void TfmMain::lstNewClickCheck() {
  bool ticked = false;
  for (int i = 0; i < lstNew->count() && !ticked; ++i) ticked = lstNew->item(i)->checkState() == Qt::Checked;
  btnDownload->setEnabled(ticked);
}

void TfmMain::btnProcessClick() {
  const std::string base = UpdateServerBase();
  FEnding = false;
  {
    TFlagScope busy(FBusy);
    for (int i = 0; i < lstNew->count() && !FEnding; ++i) {
      const QListWidgetItem* row = lstNew->item(i);
      if (row->checkState() != Qt::Checked) continue;
      const std::size_t in = TProductTable::Installed(row->data(Qt::UserRole).toInt());
      ExecuteFile(DownloadPageUrl(base, Products.Mode[in], Products.ID[in]), svOpen, "", "", 5);
      Pause(1000);
    }
  }
  close();
}

void TfmMain::lstNewDblClick() {
  const QListWidgetItem* row = lstNew->currentItem();
  if (!row || !fmHistory) return;  // nothing selected: nothing to show
  const int place = row->data(Qt::UserRole).toInt();
  fmHistory->ShowHistory(Products.Title[TProductTable::Installed(place)],
                         Products.History[TProductTable::Latest(place)]);
  fmHistory->exec();
}
