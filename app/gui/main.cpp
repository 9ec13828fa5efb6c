// The wizard window: install the Qt dialogs, show TfrmMain, run until it closes.
#include <QApplication>

#include "Main.h"
#include "Pictures.h"
#include "ProductInfo.h"
#include "QtUiServices.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(ProductName));
  QApplication::setWindowIcon(ApplicationIcon());
  TQtUiServices ui;
  SetUiServices(&ui);
  int result = 0;
  {
    TfrmMain window;
    ui.SetParent(&window);
    window.show();
    result = QApplication::exec();
  }
  SetUiServices(nullptr);
  return result;
}
