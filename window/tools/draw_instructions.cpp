// Draws the instruction picture of the main window: three frames showing how
// the download wire goes onto the device's boards, the same wire put on the
// wrong way round (crossed out, with the hint to cross the boards), and which
// button of the cable to hold down while the device is powered up.
//
// Usage: draw_instructions <output.png>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

constexpr int Width = 886;
constexpr int Height = 252;
constexpr int Margin = 4;
constexpr int FrameGap = 8;
// Three frames and their gaps inside the margins: the last frame's right
// edge stays in the picture.
constexpr int FrameWidth = (Width - 2 * Margin - 2 * FrameGap) / 3;
static_assert(2 * Margin + 3 * FrameWidth + 2 * FrameGap <= Width);

const QColor Paper(250, 250, 245);
const QColor Board(34, 120, 60);
const QColor BoardEdge(20, 80, 40);
const QColor Copper(205, 170, 80);
const QColor Cable(160, 160, 165);
const QColor Stripe(200, 30, 30);
const QColor Ink(30, 30, 30);

QFont TextFont(int pixels, bool bold = false) {
  QFont font(QStringLiteral("Liberation Sans"));
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

void DrawFrame(QPainter& p, const QRect& r, const QString& title) {
  p.setPen(QPen(Ink, 2));
  p.setBrush(Paper);
  p.drawRoundedRect(r.adjusted(1, 1, -1, -1), 6, 6);
  p.setFont(TextFont(15, true));
  p.drawText(r.adjusted(10, 6, -10, 0), Qt::AlignTop | Qt::AlignHCenter, title);
}

// One board of the device, seen from above, with its 2 x 5 pin header; pin 1
// is marked with a "1" and a square pad.
void DrawBoard(QPainter& p, const QRect& r, int headerX, int headerY) {
  p.setPen(QPen(BoardEdge, 2));
  p.setBrush(Board);
  p.drawRoundedRect(r, 4, 4);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(15, 15, 15));
  p.drawRect(r.x() + 12, r.y() + 12, 34, 22);  // a chip, for scale
  p.setBrush(Copper);
  for (int row = 0; row < 2; ++row) {
    for (int col = 0; col < 5; ++col) {
      const QRect pad(headerX + col * 10, headerY + row * 10, 6, 6);
      if (row == 0 && col == 0) {
        p.drawRect(pad);
      } else {
        p.drawEllipse(pad);
      }
    }
  }
  p.setPen(Qt::white);
  p.setFont(TextFont(10, true));
  p.drawText(headerX - 10, headerY + 7, QStringLiteral("1"));
}

// The ribbon of the download wire leaving a header, with its red stripe on
// the pin-1 side when `stripeOnPin1` holds.
void DrawWire(QPainter& p, int headerX, int headerY, bool stripeOnPin1, int length) {
  const QRect plug(headerX - 4, headerY - 4, 54, 24);
  p.setPen(QPen(Ink, 1));
  p.setBrush(QColor(60, 60, 60));
  p.drawRect(plug);
  const QRect ribbon(plug.x() + 4, plug.bottom(), 46, length);
  p.setBrush(Cable);
  p.drawRect(ribbon);
  p.setPen(Qt::NoPen);
  p.setBrush(Stripe);
  const int stripeX = stripeOnPin1 ? ribbon.x() : ribbon.right() - 5;
  p.drawRect(stripeX, ribbon.y(), 6, ribbon.height());
}

void DrawCheck(QPainter& p, const QPoint& at) {
  p.setPen(QPen(QColor(0, 150, 0), 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  QPainterPath path;
  path.moveTo(at);
  path.lineTo(at + QPoint(12, 14));
  path.lineTo(at + QPoint(36, -18));
  p.setBrush(Qt::NoBrush);
  p.drawPath(path);
}

void DrawCross(QPainter& p, const QRect& r) {
  p.setPen(QPen(QColor(220, 0, 0), 9, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(r.topLeft(), r.bottomRight());
  p.drawLine(r.topRight(), r.bottomLeft());
}

// Two boards of the device side by side, the wire running between their
// headers; `crossed` turns the second board so that the wire crosses over.
void DrawBoards(QPainter& p, const QRect& frame, bool correct) {
  const int x = frame.x() + 18;
  const int y = frame.y() + 40;
  DrawBoard(p, QRect(x, y, 116, 80), x + 48, y + 54);
  p.save();
  if (correct) {
    // The second board lies turned over: the stripe arrives at its pin 1.
    p.translate(x + 136 + 58, y + 40);
    p.rotate(180);
    p.translate(-(x + 136 + 58), -(y + 40));
  }
  DrawBoard(p, QRect(x + 136, y, 116, 80), x + 136 + 48, y + 54);
  p.restore();
  DrawWire(p, x + 48, y + 54, true, 60);
  const int secondHeaderX = correct ? x + 136 + 116 - 48 - 46 : x + 136 + 48;
  const int secondHeaderY = correct ? y + 80 - 54 - 16 : y + 54;
  if (correct) {
    // Ribbon folded over from the first board to the turned second board.
    p.setPen(Qt::NoPen);
    p.setBrush(Cable);
    p.drawRect(x + 52, y + 134, secondHeaderX - x, 14);
    p.setBrush(Stripe);
    p.drawRect(x + 52, y + 134, secondHeaderX - x, 4);
    p.setBrush(Cable);
    p.drawRect(secondHeaderX + 2, secondHeaderY + 24, 46, y + 134 - secondHeaderY - 24);
    p.setBrush(Stripe);
    p.drawRect(secondHeaderX + 2, secondHeaderY + 24, 6, y + 134 - secondHeaderY - 24);
    p.setPen(QPen(Ink, 1));
    p.setBrush(QColor(60, 60, 60));
    p.drawRect(secondHeaderX - 2, secondHeaderY, 54, 24);
  } else {
    DrawWire(p, secondHeaderX, secondHeaderY, false, 60);
  }
}

void DrawCorrect(QPainter& p, const QRect& frame) {
  DrawFrame(p, frame, QStringLiteral("correct"));
  DrawBoards(p, frame, true);
  DrawCheck(p, QPoint(frame.right() - 60, frame.y() + 24));
  p.setPen(Ink);
  p.setFont(TextFont(13));
  p.drawText(frame.adjusted(10, 0, -10, -8), Qt::AlignBottom | Qt::AlignHCenter,
             QStringLiteral("red wire on pin 1 of both boards"));
}

void DrawWrong(QPainter& p, const QRect& frame) {
  DrawFrame(p, frame, QStringLiteral("wrong"));
  DrawBoards(p, frame, false);
  DrawCross(p, QRect(frame.x() + 40, frame.y() + 40, frame.width() - 80, 150));
  p.setPen(QColor(200, 0, 0));
  p.setFont(TextFont(13, true));
  p.drawText(frame.adjusted(10, 0, -10, -8), Qt::AlignBottom | Qt::AlignHCenter,
             QStringLiteral("cross the boards!"));
}

// The plug of the download cable with its two buttons; the one next to the
// cable is held down while the device is powered up.
void DrawButtonHint(QPainter& p, const QRect& frame) {
  DrawFrame(p, frame, QStringLiteral("power up"));
  const QRect box(frame.x() + 60, frame.y() + 60, 170, 90);
  p.setPen(QPen(Ink, 2));
  p.setBrush(QColor(225, 225, 215));
  p.drawRoundedRect(box, 10, 10);
  p.setBrush(Cable);
  p.drawRect(box.x() - 50, box.center().y() - 8, 50, 16);
  const QRect held(box.x() + 30, box.y() + 25, 40, 40);
  const QRect other(box.x() + 100, box.y() + 25, 40, 40);
  p.setBrush(QColor(210, 40, 40));
  p.drawEllipse(held);
  p.setBrush(QColor(60, 60, 60));
  p.drawEllipse(other);
  // Finger pressing the held button.
  p.setPen(QPen(Ink, 4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(held.center() + QPoint(0, -28), held.center() + QPoint(0, -70));
  p.setBrush(Ink);
  QPolygon arrow;
  arrow << held.center() + QPoint(0, -24) << held.center() + QPoint(-9, -40)
        << held.center() + QPoint(9, -40);
  p.drawPolygon(arrow);
  p.setPen(Ink);
  p.setFont(TextFont(13));
  p.drawText(frame.adjusted(10, 0, -10, -8), Qt::AlignBottom | Qt::AlignHCenter,
             QStringLiteral("hold the red button down\nwhile switching the device on"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output.png>\n", argv[0]);
    return 2;
  }
  QGuiApplication application(argc, argv);
  QImage image(Width, Height, QImage::Format_RGB888);
  image.fill(QColor(212, 208, 200));
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  int x = Margin;
  const int frameHeight = Height - 2 * Margin;
  DrawCorrect(p, QRect(x, Margin, FrameWidth, frameHeight));
  x += FrameWidth + FrameGap;
  DrawWrong(p, QRect(x, Margin, FrameWidth, frameHeight));
  x += FrameWidth + FrameGap;
  DrawButtonHint(p, QRect(x, Margin, FrameWidth, frameHeight));
  p.end();
  if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
