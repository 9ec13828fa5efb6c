#include "QXEProcess.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "Utils.h"

namespace {

void DrawFolder(QPainter& p, const QRect& r) {
  p.setPen(QColor(128, 96, 0));
  p.setBrush(QColor(255, 214, 92));
  p.drawRect(r.adjusted(0, 6, 0, 0));
  p.drawRect(QRect(r.left(), r.top() + 2, r.width() / 3, 5));
}

}  // namespace

TQXECopyAnimation::TQXECopyAnimation(QWidget* parent) : QWidget(parent), FTimer(new QTimer(this)) {
  setAttribute(Qt::WA_TranslucentBackground);
  FTimer->setInterval(50);
  QObject::connect(FTimer, &QTimer::timeout, this, [this] {
    FFrame = (FFrame + 1) % FrameCount;
    update();
  });
}

void TQXECopyAnimation::Play() { FTimer->start(); }

void TQXECopyAnimation::Stop() {
  FTimer->stop();
  FFrame = StopFrame;
  update();
}

bool TQXECopyAnimation::Playing() const { return FTimer->isActive(); }

void TQXECopyAnimation::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const int h = height();
  const QRect left(8, h / 2 - 14, 40, 28), right(width() - 48, h / 2 - 14, 40, 28);
  DrawFolder(p, left);
  DrawFolder(p, right);
  // The page rises out of the left folder and drops into the right one.
  const double t = double(FFrame) / (FrameCount - 1);
  const int x = int(left.center().x() + t * (right.center().x() - left.center().x())) - 7;
  const int y = int(h / 2 - 18 - 14 * std::sin(t * 3.14159265));
  p.setPen(QColor(64, 64, 64));
  p.setBrush(Qt::white);
  p.drawRect(QRect(x, y, 14, 18));
  for (int i = 0; i < 3; ++i) p.drawLine(x + 3, y + 5 + 4 * i, x + 11, y + 5 + 4 * i);
}

// Above the application's own window (a dialog of it), not above every
// application's: without a parent it belongs to the active window.
TfrmQXEProcess::TfrmQXEProcess(QWidget* parent) : QDialog(parent ? parent : QApplication::activeWindow()) {
  setObjectName("frmQXEProcess");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setFixedSize(442, 87);
  QFont f(QStringLiteral("MS Sans Serif"));
  f.setPixelSize(11);
  setFont(f);

  Bevel = new QFrame(this);
  Bevel->setObjectName("Bevel");
  Bevel->setFrameShape(QFrame::Panel);
  Bevel->setFrameShadow(QFrame::Raised);
  Bevel->setGeometry(0, 0, 442, 87);

  Animation = new TQXECopyAnimation(this);
  Animation->setObjectName("Animation");
  Animation->setGeometry(8, 4, 427, 45);

  lblStatus = new QLabel(this);
  lblStatus->setObjectName("lblStatus");
  lblStatus->setGeometry(8, 56, 339, 13);

  ProgressBar = new QProgressBar(this);
  ProgressBar->setObjectName("ProgressBar");
  ProgressBar->setGeometry(10, 70, 337, 10);
  ProgressBar->setTextVisible(false);
  ProgressBar->setRange(0, 0);
  ProgressBar->setVisible(false);

  btnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
  btnCancel->setObjectName("btnCancel");
  btnCancel->setGeometry(355, 55, 75, 25);
  QObject::connect(btnCancel, &QPushButton::clicked, this, [this] { ButtonPressed(); });

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect s = screen->availableGeometry();
    move(s.center() - rect().center());
  }
}

void TfrmQXEProcess::SetCaption(const std::string& text) { setWindowTitle(FromAnsi(text)); }
void TfrmQXEProcess::SetStatus(const std::string& text) { lblStatus->setText(FromAnsi(text)); }
void TfrmQXEProcess::SetButtonCaption(const std::string& text) { btnCancel->setText(FromAnsi(text)); }

void TfrmQXEProcess::SetRange(int32_t min, int32_t max) {
  ProgressBar->setRange(min, std::max(min, max));
  ProgressBar->setVisible(min != 0 || max != 0);
}

void TfrmQXEProcess::SetPosition(int32_t position) { ProgressBar->setValue(position); }
int32_t TfrmQXEProcess::Position() const { return ProgressBar->value() < 0 ? 0 : ProgressBar->value(); }
int32_t TfrmQXEProcess::Max() const { return ProgressBar->maximum(); }
void TfrmQXEProcess::StartAnimation() { Animation->Play(); }
void TfrmQXEProcess::StopAnimation() { Animation->Stop(); }

void TfrmQXEProcess::Show() {
  FButtonPressed = false;
  show();
}

void TfrmQXEProcess::Repaint() { repaint(); }

void TfrmQXEProcess::ButtonPressed() {
  // While the export runs the button cancels; at its end it only closes.
  if (!FWaiting) FCancelRequested = true;
  FButtonPressed = true;
}

void TfrmQXEProcess::WaitForButton() {
  FWaiting = true;
  FButtonPressed = false;
  while (!FButtonPressed && isVisible())
    QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
  FWaiting = false;
}

void TfrmQXEProcess::closeEvent(QCloseEvent* event) {
  ButtonPressed();
  QDialog::closeEvent(event);
}

void TfrmQXEProcess::reject() {
  ButtonPressed();
  hide();
}
