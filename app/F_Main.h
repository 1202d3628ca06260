#pragma once
// The wizard window: three pages "Start", "Check" and "Results" in a
// notebook without tabs, the product list, the update check behind Next and
// the download behind Download. It is the program's main window: closing it
// ends the program.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QWidget>

#include "app/U_Products.h"
#include "platform/Http.h"

class QFrame;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QStackedWidget;

// The product table and its counter: filled when the window is created,
// completed by the update check, read by the download and the history.
extern TProductTable Products;
extern std::int32_t ProductCount;

class TfmMain : public QWidget {
  Q_OBJECT
 public:
  // Creates the window and runs FormCreate. `productFolder` is the folder
  // searched for descriptors; empty means the executable's own folder.
  explicit TfmMain(const std::string& productFolder = {}, QWidget* parent = nullptr);
  ~TfmMain() override;

  // True when FormCreate found no product and asked the program to end.
  bool NoProduct() const { return FNoProduct; }

  // Shows the notebook page of that name ("Start", "Check", "Results").
  void SetActivePage(const QString& name);
  QString ActivePage() const;

  // Controls, by the names the window gives them.
  QStackedWidget* Notebook1;
  QWidget *pgStart, *pgCheck, *pgResults;
  QLabel *imgTitle, *lbTitle, *imgWizard;
  QLabel *Label1, *Label3;
  QListWidget* lstApp;
  QPushButton *btnNext, *btnCancel;
  QFrame* pnSteps;
  QLabel *check1, *check2, *check3, *check4;
  QLabel *lb1, *lb2, *lb3, *lb4;
  QLabel *lbErr1, *lbErr2, *lbErr3;
  QLabel* lbAllOK;
  QPushButton* btnExitCheck;
  QLabel* Label2;
  QListWidget* lstNew;
  QPushButton *btnDownload, *btnExitResults;

  void FormCreate();
  void btnCancelClick();
  void btnNextClick();
  void btnProcessClick();
  void lstNewClickCheck();
  void lstNewDblClick();

  // The Internet handle of the check, open from step 1 to its end (the
  // network part itself is FetchLatestValues of U_UpdateCheck).
  bool OpenInternetHandle();
  void CloseInternetHandle();

  // Opens the Internet handle of a check; tests replace it to make the open
  // fail or to shorten the time-outs.
  std::function<std::unique_ptr<TInternetSession>(const std::string& agent)> InternetOpener;

  // The check and the download take no user input until they end, but while
  // they wait (for the server, or a pause) the window keeps painting and
  // answering the desktop. A close request from the desktop meanwhile ends
  // the check at once (the Internet handle closed, nothing more fetched) or
  // the download (no further page opened), and then closes the window,
  // which ends the program the usual way.
  bool Busy() const { return FBusy; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // Enter on a row of lstNew does what a double click does.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void RepaintNow();
  void ShowSteps(std::initializer_list<QWidget*> controls);
  // Step 2: the latest values of every product into the table, lbErr2 on a
  // failure; false when the check fails or ends there.
  bool ReadLatestValues();
  // The body of btnNextClick.
  void CheckForUpdates();
  // Pauses, keeping the window alive; returns early when the window is to
  // close.
  void Pause(int ms);
  bool FBusy = false;    // the check or the download runs
  bool FEnding = false;  // the desktop asked to close the window meanwhile
  std::string FProductFolder;
  bool FNoProduct = false;
  std::unique_ptr<TInternetSession> FSession;
  std::function<void()> FShowHistory;  // lstNewDblClick, guarded as the double click's
};

extern TfmMain* fmMain;
