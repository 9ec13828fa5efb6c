#pragma once
// The question a protected file asks in the window: "Password for
// budget.xls:", the password hidden as it is typed, and OK, Skip this file
// and Skip all protected files.
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

#include "UiServices.h"

class TfrmPassword : public QDialog {
 public:
  explicit TfrmPassword(const QString& fileName, QWidget* parent = nullptr);

  QLabel* lblPassword;
  QLineEdit* edPassword;
  QPushButton* btnOK;
  QPushButton* btnSkipFile;
  QPushButton* btnSkipAll;

  // Shows the dialog modally; closing it skips the file.
  TPasswordAnswer Ask();
  QString Password() const { return edPassword->text(); }
  TPasswordAnswer Answer() const { return FAnswer; }

 private:
  TPasswordAnswer FAnswer = TPasswordAnswer::paSkipFile;
};
