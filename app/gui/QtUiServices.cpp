#include "QtUiServices.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QUrl>
#include <vector>

#include "PasswordDialog.h"
#include "ProductInfo.h"
#include "QXEProcess.h"
#include "Utils.h"

namespace {

struct TButtonAnswer {
  QMessageBox::StandardButton Button;
  int Result;
};

}  // namespace

int TQtUiServices::MessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
  QMessageBox box(FParent);
  box.setWindowTitle(FromAnsi(caption.empty() ? std::string(ProductName) : caption));
  box.setText(FromAnsi(text));
  switch (flags & MB_ICONMASK) {
    case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  std::vector<TButtonAnswer> buttons;
  switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL: buttons = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}}; break;
    case MB_YESNOCANCEL:
      buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
      break;
    case MB_YESNO: buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}}; break;
    default: buttons = {{QMessageBox::Ok, IDOK}}; break;
  }
  QMessageBox::StandardButtons set;
  for (const auto& b : buttons) set |= b.Button;
  box.setStandardButtons(set);
  size_t def = (flags & MB_DEFMASK) == MB_DEFBUTTON2 ? 1 : (flags & MB_DEFMASK) == MB_DEFBUTTON3 ? 2 : 0;
  if (def >= buttons.size()) def = 0;
  box.setDefaultButton(buttons[def].Button);
  // Escape answers Cancel where there is one, else No, as Windows does.
  for (const auto& b : buttons)
    if (b.Result == IDCANCEL || (b.Result == IDNO && !(set & QMessageBox::Cancel))) box.setEscapeButton(b.Button);
  box.exec();
  const auto clicked = box.standardButton(box.clickedButton());
  for (const auto& b : buttons)
    if (b.Button == clicked) return b.Result;
  // Closed without a button: Cancel, or No when there is no Cancel.
  if (set & QMessageBox::Cancel) return IDCANCEL;
  if (set & QMessageBox::No) return IDNO;
  return IDOK;
}

void TQtUiServices::ShowMessage(const std::string& text) {
  MessageBox(text, ProductName, MB_OK);
}

void TQtUiServices::ProcessMessages() {
  QApplication::processEvents(QEventLoop::AllEvents);
}

bool TQtUiServices::BrowseForFolder(const std::string& title, std::string& folder) {
  const QString chosen = QFileDialog::getExistingDirectory(FParent, FromAnsi(title), FromAnsi(folder));
  if (chosen.isEmpty()) return false;
  folder = ToAnsi(chosen);
  return true;
}

QString QtNameFilters(const std::string& windowsFilter) {
  const QStringList parts = FromAnsi(windowsFilter).split(u'|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i];
    QStringList patterns = parts[i + 1].split(u';', Qt::SkipEmptyParts);
    for (QString& p : patterns)
      if (p == u"*.*") p = QStringLiteral("*");
    // Qt reads the patterns from the parentheses of the description.
    const qsizetype open = description.lastIndexOf(u'(');
    if (open > 0) description = description.left(open).trimmed();
    filters << description + QStringLiteral(" (") + patterns.join(u' ') + u')';
  }
  return filters.join(QStringLiteral(";;"));
}

bool TQtUiServices::SaveFileDialog(const std::string& title, const std::string& filter,
                                   const std::string& defaultExt, std::string& fileName) {
  QFileDialog dialog(FParent, FromAnsi(title));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // The old save dialog never asked; the log, for one, is appended to.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  dialog.setNameFilter(QtNameFilters(filter));
  dialog.setDefaultSuffix(FromAnsi(defaultExt));
  if (!fileName.empty()) dialog.selectFile(FromAnsi(fileName));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  fileName = ToAnsi(dialog.selectedFiles().constFirst());
  return true;
}

bool TQtUiServices::OpenFileDialog(const std::string& title, const std::string& filter, std::string& fileName) {
  QFileDialog dialog(FParent, FromAnsi(title));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(QtNameFilters(filter));
  if (!fileName.empty()) dialog.selectFile(FromAnsi(fileName));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  fileName = ToAnsi(dialog.selectedFiles().constFirst());
  return true;
}

bool TQtUiServices::OpenURL(const std::string& url) {
  // TolerantMode keeps the %20 of a mail subject as it is.
  return QDesktopServices::openUrl(QUrl(FromAnsi(url), QUrl::TolerantMode));
}

std::unique_ptr<TProgressWindow> TQtUiServices::CreateProgressWindow() {
  return std::make_unique<TfrmQXEProcess>(FParent);
}

void TQtUiServices::SetBusyCursor(bool busy) {
  if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
  else QApplication::restoreOverrideCursor();
}

TPasswordAnswer TQtUiServices::AskPassword(const std::string& fileName, std::string& password) {
  TfrmPassword dialog(QString::fromStdString(fileName), FParent);
  const TPasswordAnswer answer = dialog.Ask();
  if (answer == TPasswordAnswer::paOK) password = dialog.Password().toStdString();
  return answer;
}
