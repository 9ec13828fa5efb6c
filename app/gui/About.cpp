#include "About.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

#include "Pictures.h"
#include "ProductInfo.h"
#include "Utils.h"

namespace {

QLabel* LogoLabel(QWidget* parent, const QColor& colour, const char* name) {
  auto* label = new QLabel(QString::fromUtf8(ProductName), parent);
  label->setObjectName(QString::fromLatin1(name));
  QFont f = label->font();
  f.setPixelSize(34);
  f.setBold(true);
  f.setItalic(true);
  label->setFont(f);
  QPalette pal = label->palette();
  pal.setColor(QPalette::WindowText, colour);
  label->setPalette(pal);
  label->setAttribute(Qt::WA_TranslucentBackground);
  label->adjustSize();
  return label;
}

}  // namespace

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmAbout"));
  setWindowTitle(QStringLiteral("About ") + QString::fromUtf8(ProductName));
  setFixedSize(422, 296);
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

  // The picture on a white band at the left, like the wizard's header.
  auto* band = new QFrame(this);
  band->setObjectName(QStringLiteral("pnlPicture"));
  band->setGeometry(0, 0, 136, 296);
  band->setAutoFillBackground(true);
  QPalette bandPal = band->palette();
  bandPal.setColor(QPalette::Window, Qt::white);
  band->setPalette(bandPal);
  imgLogo = new QLabel(band);
  imgLogo->setObjectName(QStringLiteral("imgLogo"));
  imgLogo->setPixmap(QPixmap::fromImage(ConversionPicture(96)));
  imgLogo->setGeometry(20, 40, 96, 96);
  auto* strip = new QFrame(this);
  strip->setFrameShape(QFrame::VLine);
  strip->setFrameShadow(QFrame::Sunken);
  strip->setGeometry(136, 0, 2, 296);

  const int left = 156;
  lblLogoShadow = LogoLabel(this, QColor(170, 170, 170), "lblLogoShadow");
  lblLogoShadow->move(left + 2, 26 + 2);
  lblLogo = LogoLabel(this, QColor(233, 99, 0), "lblLogo");
  lblLogo->move(left, 26);

  lblVersion = new QLabel(QStringLiteral("v1.8 (build 5.43)"), this);
  lblVersion->setObjectName(QStringLiteral("lblVersion"));
  lblVersion->setGeometry(left + 2, 26 + lblLogo->height() + 4, 240, lblVersion->sizeHint().height());

  const int linkTop = 150;
  lblHomepage = new TLinkLabel(QString::fromUtf8(CompanyWebAddress), this);
  lblHomepage->setObjectName(QStringLiteral("lblHomepage"));
  lblHomepage->setToolTip(QStringLiteral("Go to Morvell homepage"));
  lblHomepage->adjustSize();
  lblHomepage->move(left + 2, linkTop);
  lblHomepage->OnClick = [] { OpenCompanyHomepage(); };

  lblMail = new TLinkLabel(QString::fromUtf8(SupportAddress), this);
  lblMail->setObjectName(QStringLiteral("lblMail"));
  lblMail->setToolTip(QStringLiteral("Send feedback by e-mail"));
  lblMail->adjustSize();
  lblMail->move(left + 2, linkTop + lblHomepage->height() + 8);
  lblMail->OnClick = [] { SendSupportMail(); };

  btnOK = new QPushButton(QStringLiteral("&OK"), this);
  btnOK->setObjectName(QStringLiteral("btnOK"));
  btnOK->setDefault(true);
  const QSize okSize(std::max(80, btnOK->sizeHint().width()), btnOK->sizeHint().height());
  btnOK->setGeometry(422 - 16 - okSize.width(), 296 - 14 - okSize.height(), okSize.width(), okSize.height());
  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
}

void ShowAboutBox(QWidget* parent) {
  TfrmAbout about(parent);
  const QRect area = parent ? parent->frameGeometry()
                            : (QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry()
                                                                : QRect(0, 0, 422, 296));
  about.move(area.center() - QPoint(about.width() / 2, about.height() / 2));
  about.exec();
}
