// Drawing of the station's pictures: button faces, the close image and the check screen's backdrop.
#include "assets/pictures.h"

#include "assets/fonts.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <functional>
#include <map>

namespace tav::assets {
namespace {

const QColor kNavy(0x1f, 0x2a, 0x44);
const QColor kPaper(0xf4, 0xf6, 0xfa);

QFont lettering(int pixelSize, bool bold) {
  QFont f(letteringFamily());
  f.setPixelSize(pixelSize);
  f.setBold(bold);
  f.setHintingPreference(QFont::PreferNoHinting);
  return f;
}

QImage canvas(int w, int h, const QColor& fill) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(fill);
  return img;
}

// A raised button face in `base`, lettered `word` in white, with an optional arrow mark.
enum class Mark { None, In, Out, Check };

QImage buttonFace(int w, int h, const QColor& base, const QString& word, Mark mark = Mark::None,
                  int letterSize = 22) {
  QImage img = canvas(w, h, Qt::white);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
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
    const qreal cy = h / 2.0;
    const qreal x0 = 10;
    p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath path;
    if (mark == Mark::In) {  // arrow pointing right, into the gate
      path.moveTo(x0, cy);
      path.lineTo(x0 + 20, cy);
      path.moveTo(x0 + 12, cy - 8);
      path.lineTo(x0 + 20, cy);
      path.lineTo(x0 + 12, cy + 8);
    } else if (mark == Mark::Out) {  // arrow pointing left, out of the gate
      path.moveTo(x0 + 20, cy);
      path.lineTo(x0, cy);
      path.moveTo(x0 + 8, cy - 8);
      path.lineTo(x0, cy);
      path.lineTo(x0 + 8, cy + 8);
    } else {
      path.moveTo(x0, cy);
      path.lineTo(x0 + 7, cy + 7);
      path.lineTo(x0 + 20, cy - 8);
    }
    p.drawPath(path);
    textBox.setLeft(x0 + 22);
  }
  p.setFont(lettering(letterSize, true));
  p.setPen(QColor(0, 0, 0, 90));
  p.drawText(textBox.translated(1, 1), Qt::AlignCenter, word);
  p.setPen(Qt::white);
  p.drawText(textBox, Qt::AlignCenter, word);
  return img;
}

QImage closeImage() {
  QImage img = canvas(48, 45, kPaper);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x8e, 0x16, 0x16), 2));
  p.setBrush(QColor(0xd3, 0x2f, 0x2f));
  p.drawRoundedRect(QRectF(3, 2, 42, 41), 8, 8);
  p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(15, 13), QPointF(33, 32));
  p.drawLine(QPointF(33, 13), QPointF(15, 32));
  return img;
}

// The check screen's backdrop: the labels, the ticket box and the click images lie over it, so
// every title sits beside the rectangle of the control it names.
QImage checkScreenBackdrop() {
  QImage img = canvas(1024, 768, kPaper);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);

  // Title band; the event name label is centred below it around x 531.
  p.fillRect(QRect(0, 0, 1024, 8), kNavy);
  p.setPen(kNavy);
  p.setFont(lettering(22, true));
  p.drawText(QRect(24, 20, 300, 30), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Marovex TAV"));
  p.setFont(lettering(14, false));
  p.setPen(QColor(0x5a, 0x64, 0x78));
  p.drawText(QRect(24, 50, 300, 22), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("입장권 확인"));

  // The control strip: mode, block, chosen block, ticket box, check, statistics.
  p.setPen(QPen(QColor(0xc9, 0xd2, 0xe3), 1));
  p.setBrush(QColor(0xe4, 0xea, 0xf5));
  p.drawRoundedRect(QRectF(12, 140, 1000, 82), 10, 10);
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(270, 150, 125, 62), 8, 8);  // behind txtBlock
  p.setPen(QColor(0x5a, 0x64, 0x78));
  p.setFont(lettering(13, true));
  p.drawText(QRect(272, 126, 121, 14), Qt::AlignCenter, QStringLiteral("구역"));
  p.setFont(lettering(16, true));
  p.drawText(QRect(400, 152, 116, 57), Qt::AlignCenter, QStringLiteral("티켓번호 ▶"));

  // The result line.
  p.setPen(QPen(QColor(0xc9, 0xd2, 0xe3), 1));
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(12, 240, 1000, 108), 10, 10);

  // The seven detail rows, each title right-aligned before its label (labels start at x 208).
  struct Row {
    const char16_t* title;
    int top, height;
  };
  const Row rows[] = {{u"고객명", 368, 49},   {u"티켓번호", 416, 41}, {u"공연명", 464, 41},
                      {u"공연일시", 504, 49}, {u"공연장", 552, 41},   {u"좌석등급", 592, 49},
                      {u"좌석정보", 640, 49}};
  p.setPen(QPen(QColor(0xc9, 0xd2, 0xe3), 1));
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(12, 360, 1000, 336), 10, 10);
  p.fillRect(QRect(13, 361, 180, 334), QColor(0xe4, 0xea, 0xf5));
  p.setFont(lettering(24, true));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    const QRect title(24, r.top, 164, r.height);
    p.setPen(kNavy);
    p.drawText(title, Qt::AlignRight | Qt::AlignVCenter, QString::fromUtf16(r.title));
    if (i + 1 < std::size(rows)) {
      const int line = (r.top + r.height + rows[i + 1].top) / 2;
      p.setPen(QPen(QColor(0xe1, 0xe6, 0xef), 1));
      p.drawLine(200, line, 1000, line);
    }
  }

  p.fillRect(QRect(0, 740, 1024, 28), kNavy);
  p.setPen(Qt::white);
  p.setFont(lettering(13, false));
  p.drawText(QRect(24, 740, 976, 28), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("티켓을 스캔하거나 번호를 입력한 뒤 Enter를 누르세요"));
  return img;
}

const QColor kEntry(0x1e, 0x9e, 0x4a);    // green: entry
const QColor kExit(0xe6, 0x4a, 0x19);     // orange-red: exit
const QColor kMode(0x2b, 0x4c, 0x9b);     // blue: mode switch
const QColor kBlock(0x00, 0x83, 0x8f);    // teal: block choice
const QColor kChosen(0x5f, 0x6b, 0x7a);   // slate: block already chosen
const QColor kScore(0x6a, 0x3d, 0x9a);    // purple: statistics
const QColor kScoreOpen(0x8a, 0x8f, 0x99);  // grey: statistics window open

// The block dialog's backdrop: the title and the four stand buttons, each painted exactly under
// its click area (the right column is not aligned: N starts at x 256, W at x 248).
QImage blockDialogBackdrop() {
  QImage img = canvas(477, 328, kPaper);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.fillRect(QRect(0, 0, 477, 6), kNavy);
  p.setPen(kNavy);
  p.setFont(lettering(26, true));
  p.drawText(QRect(0, 22, 477, 40), Qt::AlignCenter, QStringLiteral("구역선택"));
  p.setPen(QColor(0x5a, 0x64, 0x78));
  p.setFont(lettering(13, false));
  p.drawText(QRect(0, 62, 477, 22), Qt::AlignCenter, QStringLiteral("검표할 구역을 누르세요"));

  // A white panel behind the grid, so the faces' white corners blend in.
  p.setPen(QPen(QColor(0xc9, 0xd2, 0xe3), 1));
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(92.5, 92.5, 296, 178), 10, 10);

  struct Stand {
    const char16_t* letter;
    const char16_t* name;
    QPoint at;
  };
  const Stand stands[] = {{u"E", u"동", {112, 104}}, {u"N", u"북", {256, 104}},
                          {u"S", u"남", {112, 192}}, {u"W", u"서", {248, 192}}};
  for (const Stand& st : stands) {
    p.drawImage(st.at, buttonFace(113, 65, kBlock, QString::fromUtf16(st.letter), Mark::None, 30));
    p.setPen(QColor(255, 255, 255, 200));
    p.setFont(lettering(12, true));
    p.drawText(QRect(st.at.x() + 84, st.at.y() + 42, 22, 18), Qt::AlignCenter, QString::fromUtf16(st.name));
  }
  return img;
}

// The statistics window's backdrop: a title for each figure row, to the left of the figure labels
// (x 264, tops 96 to 272; a filled figure stands about 31 px high), and a close mark under the
// close hot-spot at (424, 8).
QImage statisticsBackdrop() {
  QImage img = canvas(477, 338, kPaper);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.fillRect(QRect(0, 0, 477, 58), kNavy);
  p.setPen(Qt::white);
  p.setFont(lettering(24, true));
  p.drawText(QRect(24, 8, 380, 42), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("입장현황"));

  // Close mark: a red tile with a white cross, the size of the hot-spot.
  p.setPen(QPen(QColor(0x8e, 0x16, 0x16), 2));
  p.setBrush(QColor(0xd3, 0x2f, 0x2f));
  p.drawRoundedRect(QRectF(425, 9, 39, 39), 7, 7);
  p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(435, 19), QPointF(454, 38));
  p.drawLine(QPointF(454, 19), QPointF(435, 38));

  struct Row {
    const char16_t* title;
    int top;
  };
  const Row rows[] = {{u"전체", 96}, {u"E석", 144}, {u"N석", 184}, {u"S석", 232}, {u"W석", 272}};
  p.setPen(QPen(QColor(0xc9, 0xd2, 0xe3), 1));
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(60.5, 80.5, 356, 230), 10, 10);
  p.fillRect(QRect(61, 81, 180, 229), QColor(0xe4, 0xea, 0xf5));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    p.setPen(kNavy);
    p.setFont(lettering(i == 0 ? 22 : 20, true));
    p.drawText(QRect(72, r.top, 156, 31), Qt::AlignRight | Qt::AlignVCenter, QString::fromUtf16(r.title));
    if (i == 0) {  // the total stands apart from the four blocks
      p.setPen(QPen(QColor(0xc9, 0xd2, 0xe3), 2));
      p.drawLine(72, 134, 404, 134);
    }
  }
  p.setPen(QColor(0x5a, 0x64, 0x78));
  p.setFont(lettering(12, false));
  p.drawText(QRect(60, 314, 356, 18), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("입장한 티켓 수"));
  return img;
}

using Drawer = std::function<QImage()>;

const std::map<QString, Drawer>& installFolderPictures() {
  static const std::map<QString, Drawer> m = {
      {QStringLiteral("btn3on.jpg"), [] { return buttonFace(113, 57, kEntry, QStringLiteral("입장"), Mark::In, 24); }},
      {QStringLiteral("btn4on.jpg"), [] { return buttonFace(113, 57, kExit, QStringLiteral("퇴장"), Mark::Out, 24); }},
      {QStringLiteral("btn2off.jpg"), [] { return buttonFace(114, 58, kChosen, QStringLiteral("구역"), Mark::Check, 22); }},
      {QStringLiteral("btn5off.jpg"), [] { return buttonFace(91, 58, kScoreOpen, QStringLiteral("현황"), Mark::None, 22); }},
      {QStringLiteral("btn5on.jpg"), [] { return buttonFace(91, 58, kScore, QStringLiteral("현황"), Mark::None, 22); }},
  };
  return m;
}

const std::map<QString, Drawer>& windowPictures() {
  static const std::map<QString, Drawer> m = {
      {QStringLiteral("frm01/background"), [] { return checkScreenBackdrop(); }},
      {QStringLiteral("frm01/Command2"), [] { return closeImage(); }},
      {QStringLiteral("frm01/btnMode"), [] { return buttonFace(116, 58, kMode, QStringLiteral("입/퇴장"), Mark::None, 20); }},
      {QStringLiteral("frm01/btnBlock"), [] { return buttonFace(114, 58, kBlock, QStringLiteral("구역선택"), Mark::None, 20); }},
      {QStringLiteral("frm01/btnScore"), [] { return buttonFace(91, 58, kScore, QStringLiteral("현황"), Mark::None, 22); }},
      {QStringLiteral("frm02/background"), [] { return blockDialogBackdrop(); }},
      {QStringLiteral("frm03/background"), [] { return statisticsBackdrop(); }},
  };
  return m;
}

}  // namespace

QImage picture(const QString& fileName) {
  // Install-folder names match without regard to case, as file names do on the stations.
  const auto& files = installFolderPictures();
  if (auto it = files.find(fileName.toLower()); it != files.end()) return it->second();
  const auto& embedded = windowPictures();
  if (auto it = embedded.find(fileName); it != embedded.end()) return it->second();
  return {};
}

QStringList pictureFiles() {
  QStringList names;
  for (const auto& [name, draw] : installFolderPictures()) names << name;
  return names;
}

QStringList embeddedPictures() {
  QStringList names;
  for (const auto& [name, draw] : windowPictures()) names << name;
  return names;
}

}  // namespace tav::assets
