// The yardstick of StartupBench: an empty Qt dialog of the wizard's size
// (442 x 341) with a list of 26 rows, and nothing else.
#include <QApplication>
#include <QDialog>
#include <QListWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QDialog dialog;
  dialog.setWindowTitle(QStringLiteral("Quellmark"));
  dialog.setFixedSize(442, 341);
  auto* list = new QListWidget(&dialog);
  list->setGeometry(152, 104, 270, 148);
  for (int i = 1; i <= 26; ++i) list->addItem(QStringLiteral("Quellmark Product %1 1.%1.0").arg(i));
  dialog.show();
  return app.exec();
}
