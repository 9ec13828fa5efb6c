#pragma once
// The window's pictures, drawn by the program itself so nothing is taken
// from elsewhere and they stay sharp at any size.
#include <QIcon>
#include <QImage>
#include <QRect>
#include <QString>

class QPainter;

// The orange logo strip: 256 horizontal bands from (233, 99, 0) at the top
// to (255, 148, 0) at the bottom, the caption drawn in grey reading upward.
void PaintLogoStrip(QPainter& painter, const QRect& rect, const QString& caption);
// Colour of band i (0..255) of the strip.
void LogoBandColor(int band, int& red, int& green, int& blue);

// Header decoration that fades into the white panel (imgBackground).
QImage HeaderBackgroundPicture(int width, int height);
// A worksheet turning into a document (imgDescription, the About box, the window icon).
QImage ConversionPicture(int size);
QIcon ApplicationIcon();

// The status images of lvProgress, by image index.
enum TStatusImage { siInProgress = 0, siFinished = 1, siError = 2, StatusImageCount = 3 };
QIcon StatusIcon(int imageIndex);
