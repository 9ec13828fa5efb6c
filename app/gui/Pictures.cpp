#include "Pictures.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>
#include <algorithm>

void LogoBandColor(int band, int& red, int& green, int& blue) {
  constexpr int r0 = 233, g0 = 99, b0 = 0, r1 = 255, g1 = 148, b1 = 0;
  // 254 steps: the last band lands on the end colour.
  red = std::min(255, r0 + band * (r1 - r0) / 254);
  green = std::min(255, g0 + band * (g1 - g0) / 254);
  blue = std::min(255, b0 + band * (b1 - b0) / 254);
}

void PaintLogoStrip(QPainter& painter, const QRect& rect, const QString& caption) {
  painter.save();
  const int h = rect.height();
  for (int i = 0; i < 256; ++i) {
    const int top = rect.top() + int(int64_t(i) * h / 256);
    const int bottom = rect.top() + int(int64_t(i + 1) * h / 256);
    if (bottom <= top) continue;
    int r, g, b;
    LogoBandColor(i, r, g, b);
    painter.fillRect(QRect(rect.left(), top, rect.width(), bottom - top), QColor(r, g, b));
  }
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(std::max(8, rect.width() * 2 / 3));
  painter.setFont(font);
  painter.setPen(QColor(128, 128, 128));
  painter.setBackgroundMode(Qt::TransparentMode);
  // Rotated a quarter turn anticlockwise: reads from the bottom upward.
  painter.translate(rect.left(), rect.bottom() - 6);
  painter.rotate(-90);
  const QRect textRect(0, 0, h - 12, rect.width());
  painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, caption);
  painter.restore();
}

QImage HeaderBackgroundPicture(int width, int height) {
  QImage img(std::max(1, width), std::max(1, height), QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  // Soft orange arcs growing from the right edge, fading out to the left.
  QLinearGradient fade(0, 0, width, 0);
  fade.setColorAt(0.0, QColor(255, 148, 0, 0));
  fade.setColorAt(0.55, QColor(255, 148, 0, 60));
  fade.setColorAt(1.0, QColor(233, 99, 0, 150));
  for (int k = 0; k < 3; ++k) {
    QPainterPath path;
    const qreal r = height * (1.1 + 0.45 * k);
    path.addEllipse(QPointF(width + r * 0.25, height * 0.5), r, r);
    p.setPen(Qt::NoPen);
    QColor c = k == 0 ? QColor(255, 148, 0, 70) : k == 1 ? QColor(255, 180, 60, 45) : QColor(255, 200, 120, 30);
    QLinearGradient g(0, 0, width, 0);
    g.setColorAt(0.0, QColor(c.red(), c.green(), c.blue(), 0));
    g.setColorAt(1.0, c);
    p.setBrush(g);
    p.drawPath(path);
  }
  p.setBrush(fade);
  QPainterPath band;
  band.moveTo(width * 0.35, height);
  band.cubicTo(width * 0.6, height * 0.55, width * 0.8, height * 0.45, width, height * 0.2);
  band.lineTo(width, height);
  band.closeSubpath();
  p.drawPath(band);
  return img;
}

QImage ConversionPicture(int size) {
  QImage img(std::max(8, size), std::max(8, size), QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 48.0, size / 48.0);
  // The worksheet: white sheet, green header row, grid.
  const QRectF sheet(3, 4, 28, 32);
  p.setPen(QPen(QColor(70, 90, 70), 1.2));
  p.setBrush(Qt::white);
  p.drawRoundedRect(sheet, 2, 2);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(46, 139, 87));
  p.drawRect(QRectF(3.6, 4.6, 26.8, 6));
  p.setPen(QPen(QColor(150, 170, 150), 0.8));
  for (int row = 1; row < 5; ++row) p.drawLine(QPointF(4, 10.6 + row * 5), QPointF(30, 10.6 + row * 5));
  for (int col = 1; col < 3; ++col) p.drawLine(QPointF(3 + col * 9.3, 10.6), QPointF(3 + col * 9.3, 35.4));
  // The document it becomes: page with a folded corner and text lines.
  QPainterPath page;
  page.moveTo(22, 16);
  page.lineTo(38, 16);
  page.lineTo(45, 23);
  page.lineTo(45, 45);
  page.lineTo(22, 45);
  page.closeSubpath();
  p.setPen(QPen(QColor(90, 90, 110), 1.2));
  p.setBrush(QColor(250, 250, 255));
  p.drawPath(page);
  p.setBrush(QColor(220, 220, 235));
  QPainterPath fold;
  fold.moveTo(38, 16);
  fold.lineTo(38, 23);
  fold.lineTo(45, 23);
  fold.closeSubpath();
  p.drawPath(fold);
  p.setPen(QPen(QColor(120, 130, 160), 1.4, Qt::SolidLine, Qt::RoundCap));
  for (int line = 0; line < 5; ++line) {
    const qreal y = 27 + line * 3.6;
    p.drawLine(QPointF(26, y), QPointF(line % 2 ? 37 : 41, y));
  }
  // The orange arrow between them.
  QPainterPath arrow;
  arrow.moveTo(9, 40);
  arrow.lineTo(16, 40);
  arrow.lineTo(16, 36.5);
  arrow.lineTo(22, 42);
  arrow.lineTo(16, 47.5);
  arrow.lineTo(16, 44);
  arrow.lineTo(9, 44);
  arrow.closeSubpath();
  p.setPen(QPen(QColor(180, 70, 0), 0.8));
  p.setBrush(QColor(240, 120, 0));
  p.drawPath(arrow);
  return img;
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (int s : {16, 24, 32, 48, 64, 128}) icon.addPixmap(QPixmap::fromImage(ConversionPicture(s)));
  return icon;
}

namespace {

QImage StatusImage(int imageIndex, int size) {
  QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 16.0, size / 16.0);
  const QRectF disc(1, 1, 14, 14);
  switch (imageIndex) {
    case siInProgress: {
      // A clock face: blue ring, hands at ten past.
      p.setPen(QPen(QColor(30, 90, 180), 1.5));
      p.setBrush(QColor(225, 238, 255));
      p.drawEllipse(disc);
      p.setPen(QPen(QColor(30, 60, 120), 1.5, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(8, 8), QPointF(8, 3.8));
      p.drawLine(QPointF(8, 8), QPointF(11.2, 9.6));
      break;
    }
    case siFinished: {
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(40, 160, 70));
      p.drawEllipse(disc);
      p.setPen(QPen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      QPainterPath tick;
      tick.moveTo(4.5, 8.3);
      tick.lineTo(7, 10.8);
      tick.lineTo(11.6, 5.4);
      p.setBrush(Qt::NoBrush);
      p.drawPath(tick);
      break;
    }
    default: {
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(200, 40, 40));
      p.drawEllipse(disc);
      p.setPen(QPen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(5.2, 5.2), QPointF(10.8, 10.8));
      p.drawLine(QPointF(10.8, 5.2), QPointF(5.2, 10.8));
      break;
    }
  }
  return img;
}

}  // namespace

QIcon StatusIcon(int imageIndex) {
  if (imageIndex < 0 || imageIndex >= StatusImageCount) return QIcon();
  QIcon icon;
  for (int s : {16, 32}) icon.addPixmap(QPixmap::fromImage(StatusImage(imageIndex, s)));
  return icon;
}
