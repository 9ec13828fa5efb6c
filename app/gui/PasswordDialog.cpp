#include "PasswordDialog.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

TfrmPassword::TfrmPassword(const QString& fileName, QWidget* parent) : QDialog(parent) {
  setObjectName("frmPassword");
  setWindowTitle("Protected file");
  lblPassword = new QLabel("Password for " + fileName + ":", this);
  lblPassword->setObjectName("lblPassword");
  edPassword = new QLineEdit(this);
  edPassword->setObjectName("edPassword");
  edPassword->setEchoMode(QLineEdit::Password);
  lblPassword->setBuddy(edPassword);
  btnOK = new QPushButton("OK", this);
  btnOK->setObjectName("btnOK");
  btnOK->setDefault(true);
  btnSkipFile = new QPushButton("Skip this file", this);
  btnSkipFile->setObjectName("btnSkipFile");
  btnSkipAll = new QPushButton("Skip all protected files", this);
  btnSkipAll->setObjectName("btnSkipAll");
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  for (QPushButton* b : {btnOK, btnSkipFile, btnSkipAll}) buttons->addWidget(b);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lblPassword);
  layout->addWidget(edPassword);
  layout->addLayout(buttons);
  auto answer = [this](TPasswordAnswer a) {
    FAnswer = a;
    a == TPasswordAnswer::paOK ? accept() : reject();
  };
  connect(btnOK, &QPushButton::clicked, this, [answer] { answer(TPasswordAnswer::paOK); });
  connect(btnSkipFile, &QPushButton::clicked, this, [answer] { answer(TPasswordAnswer::paSkipFile); });
  connect(btnSkipAll, &QPushButton::clicked, this, [answer] { answer(TPasswordAnswer::paSkipAll); });
}

TPasswordAnswer TfrmPassword::Ask() {
  FAnswer = TPasswordAnswer::paSkipFile;
  exec();
  return FAnswer;
}
