// Drawing of the station's pictures: the four windows' backdrops, the sign-in window's icon, the
// check screen's close image and button faces, and the install folder's button faces.
#include "assets/drawing.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetricsF>
#include <QHash>
#include <QList>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtEndian>
#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <stdexcept>

#include "assets/catalog.h"
#include "assets/fonts.h"
#include "wire/stands.h"

namespace tav::assets {
namespace {

// One palette for every picture: navy lettering on white and pale blue-grey panels, so every
// title reads at a glance and the controls' own black text stays clear where it lies over them.
const QColor kNavy(0x1f, 0x2a, 0x44);
const QColor kSlate(0x4a, 0x55, 0x6b);
const QColor kPaper(0xff, 0xff, 0xff);
const QColor kPanel(0xee, 0xf2, 0xf8);
const QColor kTitleColumn(0xe1, 0xe8, 0xf4);
const QColor kRule(0xc9, 0xd2, 0xe3);
const QColor kFaintRule(0xe3, 0xe8, 0xf0);
const QColor kAccent(0x00, 0x83, 0x8f);  // teal: the station's own mark
const QColor kAlarm(0xd3, 0x2f, 0x2f);   // red: closing

const QColor kEntry(0x1e, 0x9e, 0x4a);      // green: entry
const QColor kExit(0xe6, 0x4a, 0x19);       // orange-red: exit
const QColor kMode(0x2b, 0x4c, 0x9b);       // blue: mode switch
const QColor kBlock(0x00, 0x83, 0x8f);      // teal: block choice
const QColor kChosen(0x5f, 0x6b, 0x7a);     // slate: block already chosen
const QColor kScore(0x6a, 0x3d, 0x9a);      // purple: statistics
const QColor kScoreOpen(0x8a, 0x8f, 0x99);  // grey: statistics window open

QFont lettering(int pixelSize, bool bold) {
  QFont f(letteringFamily());
  f.setPixelSize(pixelSize);
  f.setBold(bold);
  // Unhinted outlines draw the same on every machine, so the pictures do not depend on it.
  f.setHintingPreference(QFont::PreferNoHinting);
  return f;
}

QImage canvas(int w, int h, const QColor& fill) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(fill);
  return img;
}

void prepare(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
}

void panel(QPainter& p, const QRectF& r, const QColor& fill, qreal radius = 10) {
  p.setPen(QPen(kRule, 1));
  p.setBrush(fill);
  p.drawRoundedRect(r, radius, radius);
}

void text(QPainter& p, const QRect& r, int flags, const QString& s, int pixelSize, bool bold,
          const QColor& colour) {
  p.setFont(lettering(pixelSize, bold));
  p.setPen(colour);
  p.drawText(r, flags, s);
}

// Right-aligned lettering whose baseline lies `ascentOf` pixels below `top`: a title set beside a
// top-aligned label of `valuePixels` type then shares the label's baseline.
void titleBeside(QPainter& p, int right, int top, int valuePixels, const QString& s, int pixelSize,
                 const QColor& colour) {
  const QFont valueFont = lettering(valuePixels, false);
  const QFont titleFont = lettering(pixelSize, true);
  const qreal baseline = top + QFontMetricsF(valueFont).ascent();
  p.setFont(titleFont);
  p.setPen(colour);
  p.drawText(QPointF(right - QFontMetricsF(titleFont).horizontalAdvance(s), baseline), s);
}

// A ticket with a notch on either side and a perforation, the station's mark; `tick` adds a
// check mark on its body.
void ticketMark(QPainter& p, const QRectF& r, const QColor& body, const QColor& ink, bool tick) {
  QPainterPath shape;
  shape.addRoundedRect(r, r.height() * 0.16, r.height() * 0.16);
  const qreal notch = r.height() * 0.17;
  const qreal stubX = r.left() + r.width() * 0.30;
  QPainterPath cut;
  cut.addEllipse(QPointF(r.left(), r.center().y()), notch, notch);
  cut.addEllipse(QPointF(r.right(), r.center().y()), notch, notch);
  p.setPen(Qt::NoPen);
  p.setBrush(body);
  p.drawPath(shape.subtracted(cut));
  p.setPen(QPen(ink, std::max<qreal>(1.0, r.height() * 0.05), Qt::DotLine, Qt::FlatCap));
  p.drawLine(QPointF(stubX, r.top() + r.height() * 0.14), QPointF(stubX, r.bottom() - r.height() * 0.14));
  if (tick) {
    const qreal x = stubX + r.width() * 0.12;
    const qreal w = r.right() - x - r.width() * 0.12;
    const qreal cy = r.center().y();
    QPainterPath check;
    check.moveTo(x, cy);
    check.lineTo(x + w * 0.35, cy + r.height() * 0.22);
    check.lineTo(x + w, cy - r.height() * 0.24);
    p.setPen(QPen(ink, std::max<qreal>(2.0, r.height() * 0.11), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(check);
  }
}

// ---- Button faces ----

enum class Mark { None, In, Out, Check, Swap };

void drawMark(QPainter& p, Mark mark, qreal x0, qreal cy) {
  p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  QPainterPath path;
  switch (mark) {
    case Mark::In:  // arrow pointing right, into the gate
      path.moveTo(x0, cy);
      path.lineTo(x0 + 20, cy);
      path.moveTo(x0 + 12, cy - 8);
      path.lineTo(x0 + 20, cy);
      path.lineTo(x0 + 12, cy + 8);
      break;
    case Mark::Out:  // arrow pointing left, out of the gate
      path.moveTo(x0 + 20, cy);
      path.lineTo(x0, cy);
      path.moveTo(x0 + 8, cy - 8);
      path.lineTo(x0, cy);
      path.lineTo(x0 + 8, cy + 8);
      break;
    case Mark::Check:
      path.moveTo(x0, cy);
      path.lineTo(x0 + 7, cy + 7);
      path.lineTo(x0 + 20, cy - 8);
      break;
    case Mark::Swap:  // two opposed arrows: the switch between entry and exit
      path.moveTo(x0, cy - 5);
      path.lineTo(x0 + 18, cy - 5);
      path.moveTo(x0 + 13, cy - 10);
      path.lineTo(x0 + 18, cy - 5);
      path.lineTo(x0 + 13, cy);
      path.moveTo(x0 + 18, cy + 6);
      path.lineTo(x0, cy + 6);
      path.moveTo(x0 + 5, cy + 1);
      path.lineTo(x0, cy + 6);
      path.lineTo(x0 + 5, cy + 11);
      break;
    case Mark::None:
      return;
  }
  p.drawPath(path);
}

// A raised button face in `base`, lettered `word` in white, with an optional mark on its left.
QImage buttonFace(int w, int h, const QColor& base, const QString& word, Mark mark = Mark::None,
                  int letterSize = 22) {
  QImage img = canvas(w, h, kPaper);
  QPainter p(&img);
  prepare(p);
  const QRectF box(1.5, 1.5, w - 3.0, h - 3.0);
  QLinearGradient g(0, 0, 0, h);
  g.setColorAt(0.0, base.lighter(125));
  g.setColorAt(1.0, base.darker(125));
  p.setPen(QPen(base.darker(170), 2));
  p.setBrush(g);
  p.drawRoundedRect(box, 9, 9);
  // A soft highlight in the upper half makes the face read as a button.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 40));
  p.drawRoundedRect(QRectF(5, 4, w - 10.0, h / 2.0 - 4), 7, 7);

  QRectF textBox = box;
  if (mark != Mark::None) {
    drawMark(p, mark, 10, h / 2.0);
    textBox.setLeft(32);
  }
  p.setFont(lettering(letterSize, true));
  p.setPen(QColor(0, 0, 0, 90));
  p.drawText(textBox.translated(1, 1), Qt::AlignCenter, word);
  p.setPen(Qt::white);
  p.drawText(textBox, Qt::AlignCenter, word);
  return img;
}

// The closing mark: a red tile with a white cross from corner to corner of `cross`.
void closeMark(QPainter& p, const QRectF& tile, qreal radius, const QRectF& cross, qreal stroke) {
  p.setPen(QPen(kAlarm.darker(150), 2));
  p.setBrush(kAlarm);
  p.drawRoundedRect(tile, radius, radius);
  p.setPen(QPen(Qt::white, stroke, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(cross.topLeft(), cross.bottomRight());
  p.drawLine(cross.topRight(), cross.bottomLeft());
}

QImage closeImage() {
  QImage img = canvas(48, 45, kPaper);
  QPainter p(&img);
  prepare(p);
  closeMark(p, QRectF(3, 2, 42, 41), 8, QRectF(QPointF(15, 13), QPointF(33, 32)), 5);
  return img;
}

// ---- The sign-in window ----

// The sign-in window's backdrop. Its controls keep their own black and blue lettering, so
// everything under them stays white or nearly so: a title band behind "Marovex TAV", a panel
// behind the sign-in fields (ID and text boxes at y 104 to 146, status line at y 168 to 193) and a
// pale note behind the closing hint at y 312. The launcher frame at y 208 paints itself.
QImage signInBackdrop() {
  QImage img = canvas(320, 360, kPaper);
  QPainter p(&img);
  prepare(p);

  QLinearGradient band(0, 0, 0, 86);
  band.setColorAt(0.0, QColor(0xe6, 0xed, 0xf8));
  band.setColorAt(1.0, kPaper);
  p.fillRect(QRect(0, 0, 320, 86), band);
  p.fillRect(QRect(0, 0, 320, 4), kNavy);
  ticketMark(p, QRectF(238, 22, 62, 36), kAccent, Qt::white, true);
  text(p, QRect(32, 58, 200, 18), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("게이트 입장권 검표"), 12,
       false, kSlate);

  panel(p, QRectF(20.5, 92.5, 279, 108), QColor(0xf6, 0xf8, 0xfc), 8);
  p.setPen(QPen(kFaintRule, 1));
  p.drawLine(QPointF(32, 160.5), QPointF(288, 160.5));

  p.setPen(QPen(QColor(0xe8, 0xd4, 0x8a), 1));
  p.setBrush(QColor(0xff, 0xf8, 0xe1));
  p.drawRoundedRect(QRectF(20.5, 304.5, 279, 40), 6, 6);
  return img;
}

// The sign-in window's icon: the station's ticket mark with a check, on a transparent ground.
QImage signInIcon() {
  QImage img(36, 35, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  QPainter p(&img);
  prepare(p);
  ticketMark(p, QRectF(1, 7, 34, 21), kNavy, Qt::white, true);
  return img;
}

// ---- The check screen ----

// The check screen's backdrop: the labels, the ticket box and the click images lie over it, so
// every title sits beside the rectangle of the control it names. The screen beyond 1024 x 768 is
// white, as is this picture's ground, so a larger display shows no seam.
QImage checkScreenBackdrop() {
  QImage img = canvas(1024, 768, kPaper);
  QPainter p(&img);
  prepare(p);

  // Header: the station's mark and name on the left; the event title (a label from x 531,
  // y 40) follows a tag on the right; the close image lies at (960, 16).
  ticketMark(p, QRectF(24, 24, 60, 38), kNavy, Qt::white, true);
  text(p, QRect(98, 18, 400, 34), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Marovex TAV"), 28, true,
       kNavy);
  text(p, QRect(98, 52, 400, 22), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("입장권 확인"), 16, false,
       kSlate);
  p.setPen(Qt::NoPen);
  p.setBrush(kAccent);
  p.drawRoundedRect(QRectF(452, 50, 68, 34), 17, 17);
  text(p, QRect(452, 50, 68, 34), Qt::AlignCenter, QStringLiteral("공연"), 18, true, Qt::white);
  p.setPen(QPen(kRule, 1));
  p.drawLine(QPointF(12, 112.5), QPointF(1012, 112.5));

  // The control strip: mode (24..140), block (152..266), chosen block (272..393), ticket box
  // (520..769), check (776..889), statistics (904..995), all at y 152 to 210.
  panel(p, QRectF(12.5, 128.5, 999, 98), kPanel);
  p.setPen(QPen(kRule, 1));
  p.setBrush(kPaper);
  p.drawRoundedRect(QRectF(270.5, 150.5, 124, 62), 8, 8);
  text(p, QRect(272, 132, 121, 16), Qt::AlignCenter, QStringLiteral("구역"), 13, true, kSlate);
  text(p, QRect(400, 152, 116, 57), Qt::AlignCenter, QStringLiteral("티켓번호 ▶"), 17, true, kNavy);

  // The result line (a label at 58, 256 in large red type).
  panel(p, QRectF(12.5, 236.5, 999, 116), kPaper);
  p.fillRect(QRect(13, 237, 6, 115), kAccent);
  text(p, QRect(30, 238, 200, 18), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("검표 결과"), 13, true,
       kSlate);

  // The seven detail rows, each title right-aligned before its label (labels start at x 208,
  // their text at the top in 36 px type, the last two in 33 px) and on the label's baseline.
  struct Row {
    const char16_t* title;
    int top, height, valuePixels;
  };
  const Row rows[] = {{u"고객명", 368, 49, 36},   {u"티켓번호", 416, 41, 36}, {u"공연명", 464, 41, 36},
                      {u"공연일시", 504, 49, 36}, {u"공연장", 552, 41, 36},   {u"좌석등급", 592, 49, 33},
                      {u"좌석정보", 640, 49, 33}};
  panel(p, QRectF(12.5, 360.5, 999, 336), kPaper);
  p.fillRect(QRect(13, 361, 181, 335), kTitleColumn);
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    titleBeside(p, 188, r.top, r.valuePixels, QString::fromUtf16(r.title), 24, kNavy);
    if (i + 1 < std::size(rows)) {
      const int line = (r.top + r.height + rows[i + 1].top) / 2;
      p.setPen(QPen(kFaintRule, 1));
      p.drawLine(200, line, 1000, line);
    }
  }

  p.fillRect(QRect(12, 712, 1000, 2), kAccent);
  text(p, QRect(24, 720, 976, 36), Qt::AlignLeft | Qt::AlignVCenter,
       QStringLiteral("티켓을 스캔하거나 번호를 입력한 뒤 Enter를 누르세요"), 17, false, kSlate);
  return img;
}

// ---- The block dialog ----

// The block dialog's backdrop: the title and the four stand buttons, each painted exactly under
// its click area (the right column is not aligned: N starts at x 256, W at x 248).
QImage blockDialogBackdrop() {
  QImage img = canvas(477, 328, kPanel);
  QPainter p(&img);
  prepare(p);
  p.fillRect(QRect(0, 0, 477, 6), kNavy);
  text(p, QRect(0, 20, 477, 40), Qt::AlignCenter, QStringLiteral("구역선택"), 28, true, kNavy);
  text(p, QRect(0, 60, 477, 22), Qt::AlignCenter, QStringLiteral("검표할 구역을 누르세요"), 14, false, kSlate);

  // A white panel behind the grid, so the faces' white corners blend in.
  panel(p, QRectF(92.5, 92.5, 296, 178), kPaper);

  struct Stand {
    const char16_t* letter;
    const char16_t* name;
    QPoint at;
  };
  const Stand stands[] = {{u"E", u"동", {112, 104}}, {u"N", u"북", {256, 104}},
                          {u"S", u"남", {112, 192}}, {u"W", u"서", {248, 192}}};
  for (const Stand& st : stands) {
    p.drawImage(st.at, buttonFace(113, 65, kBlock, QString::fromUtf16(st.letter), Mark::None, 32));
    text(p, QRect(st.at.x() + 82, st.at.y() + 40, 24, 20), Qt::AlignCenter, QString::fromUtf16(st.name), 14,
         true, QColor(255, 255, 255, 220));
  }
  text(p, QRect(0, 282, 477, 20), Qt::AlignCenter, QStringLiteral("E 동측 · N 북측 · S 남측 · W 서측"), 13,
       false, kSlate);
  return img;
}

// ---- The statistics window ----

// The statistics window's backdrop: a title for each figure row, to the left of the figure labels
// (x 264, tops 96 to 272, 27 px type) on their baseline, and a close mark under the close
// hot-spot at (424, 8). The window's client area is one pixel narrower and lower than this.
QImage statisticsBackdrop() {
  QImage img = canvas(477, 338, kPanel);
  QPainter p(&img);
  prepare(p);
  p.fillRect(QRect(0, 0, 477, 58), kNavy);
  text(p, QRect(24, 8, 380, 42), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("입장현황"), 26, true,
       Qt::white);

  // The close mark, the size of the hot-spot.
  closeMark(p, QRectF(425, 9, 39, 39), 7, QRectF(QPointF(435, 19), QPointF(454, 38)), 4);

  struct Row {
    QString title;
    int top;
  };
  const auto block = [](std::size_t i) { return QString::fromStdString(wire::kBlocks[i]); };
  const Row rows[] = {{QStringLiteral("전체"), 96}, {block(0), 144}, {block(1), 184}, {block(2), 232}, {block(3), 272}};
  panel(p, QRectF(60.5, 80.5, 356, 230), kPaper);
  p.fillRect(QRect(61, 81, 180, 229), kTitleColumn);
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    titleBeside(p, 228, r.top, 27, r.title, i == 0 ? 22 : 20, kNavy);
    if (i == 0) {  // the total stands apart from the four blocks
      p.setPen(QPen(kRule, 2));
      p.drawLine(72, 134, 404, 134);
    }
  }
  text(p, QRect(60, 314, 356, 18), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("입장한 티켓 수"), 12,
       false, kSlate);
  return img;
}

using Drawer = std::function<QImage()>;

const std::map<QString, Drawer>& drawers() {
  static const std::map<QString, Drawer> m = {
      {QStringLiteral("frmTAV/background"), [] { return signInBackdrop(); }},
      {QStringLiteral("frmTAV/icon"), [] { return signInIcon(); }},
      {QStringLiteral("frm01/background"), [] { return checkScreenBackdrop(); }},
      {QStringLiteral("frm01/Command2"), [] { return closeImage(); }},
      {QStringLiteral("frm01/btnMode"), [] { return buttonFace(116, 58, kMode, QStringLiteral("입/퇴장"), Mark::Swap, 19); }},
      {QStringLiteral("frm01/btnBlock"), [] { return buttonFace(114, 58, kBlock, QStringLiteral("구역선택"), Mark::None, 21); }},
      {QStringLiteral("frm01/btnScore"), [] { return buttonFace(91, 58, kScore, QStringLiteral("현황"), Mark::None, 22); }},
      {QStringLiteral("frm02/background"), [] { return blockDialogBackdrop(); }},
      {QStringLiteral("frm03/background"), [] { return statisticsBackdrop(); }},
      {QStringLiteral("btn3on.jpg"), [] { return buttonFace(113, 57, kEntry, QStringLiteral("입장"), Mark::In, 24); }},
      {QStringLiteral("btn4on.jpg"), [] { return buttonFace(113, 57, kExit, QStringLiteral("퇴장"), Mark::Out, 24); }},
      {QStringLiteral("btn2off.jpg"), [] { return buttonFace(114, 58, kChosen, QStringLiteral("구역"), Mark::Check, 22); }},
      {QStringLiteral("btn5off.jpg"), [] { return buttonFace(91, 58, kScoreOpen, QStringLiteral("현황"), Mark::None, 22); }},
      {QStringLiteral("btn5on.jpg"), [] { return buttonFace(91, 58, kScore, QStringLiteral("현황"), Mark::None, 22); }},
  };
  return m;
}

// A palette of at most 256 colours for `pixels`: the colours themselves when there are few enough,
// else the means of 256 boxes of a median cut, each cut across the box's widest channel.
QList<QRgb> palette256(std::vector<QRgb> pixels) {
  QList<QRgb> distinct;
  {
    std::vector<QRgb> sorted = pixels;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    if (sorted.size() <= 256) {
      distinct = QList<QRgb>(sorted.begin(), sorted.end());
      if (distinct.isEmpty()) distinct << 0xff000000u;
      return distinct;
    }
  }
  using Range = std::pair<std::size_t, std::size_t>;  // [first, last) of `pixels`
  auto channel = [](QRgb c, int k) { return k == 0 ? qRed(c) : k == 1 ? qGreen(c) : qBlue(c); };
  auto widest = [&](const Range& r, int* which) {
    int best = -1;
    for (int k = 0; k < 3; ++k) {
      int lo = 255, hi = 0;
      for (std::size_t i = r.first; i < r.second; ++i) {
        lo = std::min(lo, channel(pixels[i], k));
        hi = std::max(hi, channel(pixels[i], k));
      }
      if (hi - lo > best) {
        best = hi - lo;
        *which = k;
      }
    }
    return best;
  };
  std::vector<Range> boxes = {{0, pixels.size()}};
  while (boxes.size() < 256) {
    std::size_t pick = boxes.size();
    int pickWidth = 0, pickChannel = 0;
    for (std::size_t b = 0; b < boxes.size(); ++b) {
      int k = 0;
      const int width = boxes[b].second - boxes[b].first > 1 ? widest(boxes[b], &k) : 0;
      if (width > pickWidth) {
        pick = b;
        pickWidth = width;
        pickChannel = k;
      }
    }
    if (pick == boxes.size()) break;  // every box holds one colour
    const Range r = boxes[pick];
    std::sort(pixels.begin() + static_cast<std::ptrdiff_t>(r.first), pixels.begin() + static_cast<std::ptrdiff_t>(r.second),
              [&](QRgb a, QRgb b) { return channel(a, pickChannel) < channel(b, pickChannel); });
    std::size_t mid = r.first + (r.second - r.first) / 2;
    // Keep equal values in one box, so a cut always separates two different colours.
    while (mid > r.first + 1 && channel(pixels[mid - 1], pickChannel) == channel(pixels[mid], pickChannel)) --mid;
    if (channel(pixels[mid - 1], pickChannel) == channel(pixels[mid], pickChannel)) mid = r.first + (r.second - r.first) / 2;
    boxes[pick] = {r.first, mid};
    boxes.push_back({mid, r.second});
  }
  for (const Range& r : boxes) {
    qint64 red = 0, green = 0, blue = 0;
    for (std::size_t i = r.first; i < r.second; ++i) {
      red += qRed(pixels[i]);
      green += qGreen(pixels[i]);
      blue += qBlue(pixels[i]);
    }
    const auto n = static_cast<qint64>(r.second - r.first);
    distinct << qRgb(static_cast<int>(red / n), static_cast<int>(green / n), static_cast<int>(blue / n));
  }
  return distinct;
}

void putU16(QByteArray& b, quint16 v) {
  char raw[2];
  qToLittleEndian(v, raw);
  b.append(raw, 2);
}

void putU32(QByteArray& b, quint32 v) {
  char raw[4];
  qToLittleEndian(v, raw);
  b.append(raw, 4);
}

}  // namespace

QImage drawPicture(const QString& name) {
  const PictureEntry* entry = findPicture(name);
  if (!entry) return {};
  const auto it = drawers().find(entry->name);
  return it == drawers().end() ? QImage() : it->second();
}

QByteArray encodePicture(const QString& name) {
  const PictureEntry* entry = findPicture(name);
  const QImage image = drawPicture(name);
  if (!entry || image.isNull()) throw std::runtime_error("There is no picture " + name.toStdString() + ".");
  if (image.size() != entry->size)
    throw std::runtime_error("The picture " + name.toStdString() + " is drawn at the wrong size.");
  if (entry->file.endsWith(QLatin1String(".ico"))) return icoFile(image);
  QByteArray jpeg;
  QBuffer buffer(&jpeg);
  buffer.open(QIODevice::WriteOnly);
  // Baseline colour JPEG; quality high enough that thin rules and lettering keep their edges.
  if (!image.convertToFormat(QImage::Format_RGB32).save(&buffer, "JPG", 95))
    throw std::runtime_error("The picture " + name.toStdString() + " cannot be encoded as JPEG.");
  return jpeg;
}

QByteArray icoFile(const QImage& source) {
  if (source.width() > 256 || source.height() > 256 || source.isNull())
    throw std::invalid_argument("An icon holds a picture of 1 to 256 pixels a side.");
  const QImage argb = source.convertToFormat(QImage::Format_ARGB32);
  const int w = argb.width();
  const int h = argb.height();

  std::vector<QRgb> opaque;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (qAlpha(argb.pixel(x, y)) >= 128) opaque.push_back(argb.pixel(x, y) | 0xff000000u);
  QList<QRgb> table = palette256(opaque);
  QHash<QRgb, int> index;  // colour -> nearest palette entry, worked out once per colour
  auto indexOf = [&](QRgb c) {
    auto it = index.constFind(c);
    if (it != index.cend()) return *it;
    int best = 0;
    int bestDistance = std::numeric_limits<int>::max();
    for (int i = 0; i < table.size(); ++i) {
      const int dr = qRed(c) - qRed(table[i]), dg = qGreen(c) - qGreen(table[i]), db = qBlue(c) - qBlue(table[i]);
      const int d = dr * dr + dg * dg + db * db;
      if (d < bestDistance) {
        bestDistance = d;
        best = i;
      }
    }
    index.insert(c, best);
    return best;
  };
  table.resize(256, 0u);

  const int xorStride = (w + 3) / 4 * 4;
  const int andStride = (w + 31) / 32 * 4;
  const auto imageBytes = static_cast<quint32>(40 + 256 * 4 + (xorStride + andStride) * h);

  QByteArray b;
  // Icon directory: one 8-bit image.
  putU16(b, 0);
  putU16(b, 1);
  putU16(b, 1);
  b.append(static_cast<char>(w == 256 ? 0 : w));
  b.append(static_cast<char>(h == 256 ? 0 : h));
  b.append('\0');  // 256 colours are written as 0
  b.append('\0');
  putU16(b, 1);   // planes
  putU16(b, 8);   // bits per pixel
  putU32(b, imageBytes);
  putU32(b, 22);  // offset of the image, right after this directory
  // Bitmap header: the height counts the colour rows and the mask rows.
  putU32(b, 40);
  putU32(b, static_cast<quint32>(w));
  putU32(b, static_cast<quint32>(2 * h));
  putU16(b, 1);
  putU16(b, 8);
  putU32(b, 0);  // uncompressed
  putU32(b, static_cast<quint32>((xorStride + andStride) * h));
  putU32(b, 0);
  putU32(b, 0);
  putU32(b, 256);
  putU32(b, 0);
  for (QRgb c : table) {
    b.append(static_cast<char>(qBlue(c)));
    b.append(static_cast<char>(qGreen(c)));
    b.append(static_cast<char>(qRed(c)));
    b.append('\0');
  }
  // Rows bottom-up, colour indexes first, then the transparency mask (1 = transparent).
  for (int y = h - 1; y >= 0; --y) {
    QByteArray row(xorStride, '\0');
    for (int x = 0; x < w; ++x) {
      const QRgb c = argb.pixel(x, y);
      row[x] = static_cast<char>(qAlpha(c) >= 128 ? indexOf(c | 0xff000000u) : 0);
    }
    b.append(row);
  }
  for (int y = h - 1; y >= 0; --y) {
    QByteArray row(andStride, '\0');
    for (int x = 0; x < w; ++x)
      if (qAlpha(argb.pixel(x, y)) < 128) row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
    b.append(row);
  }
  return b;
}

}  // namespace tav::assets
