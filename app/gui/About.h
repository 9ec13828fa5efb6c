#pragma once
// The About box: product name, version, picture and the two links.
#include <QDialog>

class QLabel;
class QPushButton;
class TLinkLabel;

class TfrmAbout : public QDialog {
 public:
  explicit TfrmAbout(QWidget* parent = nullptr);

  QLabel* lblLogo;        // the product name in orange
  QLabel* lblLogoShadow;  // the same, grey, a little lower right
  QLabel* lblVersion;
  QLabel* imgLogo;
  TLinkLabel* lblHomepage;
  TLinkLabel* lblMail;
  QPushButton* btnOK;
};

// Shows the About box modally over parent.
void ShowAboutBox(QWidget* parent);
