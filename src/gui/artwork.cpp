#include "gui/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <QRadialGradient>

#include <cmath>

#include "gui/look.h"

namespace corvantel::gui {

namespace {

// The sixteen standard colours of the classic 16-colour palette.
namespace vga {
const QColor black{0, 0, 0}, maroon{128, 0, 0}, green{0, 128, 0}, olive{128, 128, 0};
const QColor navy{0, 0, 128}, purple{128, 0, 128}, teal{0, 128, 128}, silver{192, 192, 192};
const QColor grey{128, 128, 128}, red{255, 0, 0}, lime{0, 255, 0}, yellow{255, 255, 0};
const QColor blue{0, 0, 255}, fuchsia{255, 0, 255}, aqua{0, 255, 255}, white{255, 255, 255};
}  // namespace vga

QImage transparentImage(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

// A filled polygon with a one-pixel outline, without smoothing, so that
// only the given colours appear.
void hardPolygon(QPainter& p, const QPolygon& poly, const QColor& fill, const QColor& line) {
    p.setPen(line);
    p.setBrush(fill);
    p.drawPolygon(poly);
}

// A folder of the 16-colour kind at (x, y), size w by h (tab included).
void drawFolder(QPainter& p, int x, int y, int w, int h, bool open) {
    const int tab = h / 4;
    // Back with its tab.
    hardPolygon(p,
                QPolygon({QPoint(x, y + tab), QPoint(x + 1, y), QPoint(x + w * 2 / 5, y),
                          QPoint(x + w * 2 / 5 + tab, y + tab), QPoint(x + w - 1, y + tab),
                          QPoint(x + w - 1, y + h - 1), QPoint(x, y + h - 1)}),
                vga::olive, vga::black);
    if (open) {
        // The front leans forward: a parallelogram over the lower part.
        hardPolygon(p,
                    QPolygon({QPoint(x + w / 5, y + tab * 2), QPoint(x + w, y + tab * 2),
                              QPoint(x + w - 1 - w / 5, y + h - 1), QPoint(x, y + h - 1)}),
                    vga::yellow, vga::black);
    } else {
        hardPolygon(p,
                    QPolygon({QPoint(x, y + tab + 1), QPoint(x + w - 1, y + tab + 1),
                              QPoint(x + w - 1, y + h - 1), QPoint(x, y + h - 1)}),
                    vga::yellow, vga::black);
        p.setPen(vga::white);
        p.drawLine(x + 1, y + tab + 2, x + w - 2, y + tab + 2);
    }
}

// A vertical arrow, shaft 4 pixels wide, head 13 wide, pointing down or up,
// between rows top and bottom, centred between columns cx-1 and cx.
void drawArrow(QPainter& p, int cx, int top, int bottom, bool down, const QColor& fill) {
    const int headLen = 7, half = 6, shaft = 2;
    QPolygon poly;
    if (down) {
        const int headTop = bottom - headLen;
        poly << QPoint(cx - shaft, top) << QPoint(cx + shaft - 1, top) << QPoint(cx + shaft - 1, headTop)
             << QPoint(cx + half, headTop) << QPoint(cx, bottom) << QPoint(cx - 1, bottom)
             << QPoint(cx - half - 1, headTop) << QPoint(cx - shaft, headTop);
    } else {
        const int headBottom = top + headLen;
        poly << QPoint(cx - shaft, bottom) << QPoint(cx + shaft - 1, bottom) << QPoint(cx + shaft - 1, headBottom)
             << QPoint(cx + half, headBottom) << QPoint(cx, top) << QPoint(cx - 1, top)
             << QPoint(cx - half - 1, headBottom) << QPoint(cx - shaft, headBottom);
    }
    hardPolygon(p, poly, fill, vga::black);
}

// A small desktop computer with its screen, for the about picture.
void drawComputer(QPainter& p, const QRect& r, const QColor& screen) {
    p.setRenderHint(QPainter::Antialiasing, true);
    QRect monitor(r.x(), r.y(), r.width(), r.height() * 3 / 5);
    p.setPen(QPen(QColor(40, 40, 40), 2));
    p.setBrush(QColor(200, 200, 196));
    p.drawRoundedRect(monitor, 4, 4);
    QRect glass = monitor.adjusted(6, 6, -6, -8);
    QLinearGradient g(glass.topLeft(), glass.bottomRight());
    g.setColorAt(0, screen.lighter(150));
    g.setColorAt(1, screen.darker(130));
    p.setBrush(g);
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.drawRect(glass);
    // Lines of text on the screen.
    p.setPen(QPen(QColor(230, 255, 230), 2));
    for (int i = 0; i < 3; ++i) {
        int y = glass.y() + 6 + i * 6;
        if (y > glass.bottom() - 3) break;
        p.drawLine(glass.x() + 5, y, glass.x() + 5 + (glass.width() - 12) * (3 - i) / 3, y);
    }
    // Stand and base.
    p.setPen(QPen(QColor(40, 40, 40), 2));
    p.setBrush(QColor(170, 170, 166));
    QRect stand(r.center().x() - 6, monitor.bottom() + 1, 12, r.height() / 10);
    p.drawRect(stand);
    QRect base(r.x() + r.width() / 8, stand.bottom() + 1, r.width() * 3 / 4, r.height() / 7);
    p.drawRoundedRect(base, 3, 3);
    p.setPen(QColor(0, 160, 0));
    p.drawPoint(base.right() - 8, base.center().y());
}

// A tower server with drive bays.
void drawServer(QPainter& p, const QRect& r) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(QColor(30, 30, 30), 2));
    QLinearGradient g(r.topLeft(), r.topRight());
    g.setColorAt(0, QColor(120, 120, 130));
    g.setColorAt(1, QColor(70, 70, 80));
    p.setBrush(g);
    p.drawRoundedRect(r, 4, 4);
    p.setPen(QPen(QColor(20, 20, 20), 1));
    for (int i = 0; i < 4; ++i) {
        QRect bay(r.x() + 6, r.y() + 8 + i * 12, r.width() - 12, 8);
        p.setBrush(QColor(160, 160, 170));
        p.drawRect(bay);
        p.setBrush(i % 2 ? QColor(0, 220, 0) : QColor(255, 180, 0));
        p.drawEllipse(QPoint(bay.right() - 5, bay.center().y()), 2, 2);
    }
    p.setPen(QPen(QColor(40, 40, 50), 1));
    for (int y = r.y() + 62; y < r.bottom() - 6; y += 4) p.drawLine(r.x() + 8, y, r.right() - 8, y);
}

// A horizontal arrow with a thick body and a pointed head.
void drawWideArrow(QPainter& p, QPointF from, QPointF to, const QColor& fill) {
    const double dir = to.x() > from.x() ? 1 : -1;
    const double y = from.y();
    const double head = 12, half = 8, body = 3.5;
    QPainterPath path;
    path.moveTo(from.x(), y - body);
    path.lineTo(to.x() - dir * head, y - body);
    path.lineTo(to.x() - dir * head, y - half);
    path.lineTo(to.x(), y);
    path.lineTo(to.x() - dir * head, y + half);
    path.lineTo(to.x() - dir * head, y + body);
    path.lineTo(from.x(), y + body);
    path.closeSubpath();
    p.setPen(QPen(QColor(0, 0, 0), 1.2));
    p.setBrush(fill);
    p.drawPath(path);
}

// A clock face showing hour h, for the schedule.
void drawClock(QPainter& p, QPointF c, double radius, double hour, double minute) {
    p.setRenderHint(QPainter::Antialiasing, true);
    QRadialGradient g(c - QPointF(radius / 3, radius / 3), radius * 1.4);
    g.setColorAt(0, QColor(255, 255, 255));
    g.setColorAt(1, QColor(210, 220, 235));
    p.setPen(QPen(QColor(30, 30, 60), 2.5));
    p.setBrush(g);
    p.drawEllipse(c, radius, radius);
    p.setPen(QPen(QColor(30, 30, 60), 1.5));
    for (int i = 0; i < 12; ++i) {
        double a = i * M_PI / 6;
        QPointF d(std::sin(a), -std::cos(a));
        p.drawLine(c + d * (radius - 5), c + d * (radius - 2));
    }
    const double ha = (hour + minute / 60.0) * M_PI / 6, ma = minute * M_PI / 30;
    p.setPen(QPen(QColor(0, 0, 0), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c, c + QPointF(std::sin(ha), -std::cos(ha)) * radius * 0.5);
    p.setPen(QPen(QColor(0, 0, 0), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c, c + QPointF(std::sin(ma), -std::cos(ma)) * radius * 0.78);
    p.setBrush(QColor(200, 0, 0));
    p.setPen(Qt::NoPen);
    p.drawEllipse(c, 2.5, 2.5);
}

// Text with a dark shadow below right.
void shadowText(QPainter& p, const QRect& r, int flags, const QString& text, const QColor& colour) {
    p.setPen(QColor(0, 0, 0, 200));
    p.drawText(r.translated(2, 2), flags, text);
    p.setPen(colour);
    p.drawText(r, flags, text);
}

}  // namespace

QImage windowIconImage() {
    QImage img = transparentImage(32, 32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);
    // A folder: the working directory the jobs fill and empty.
    drawFolder(p, 1, 13, 30, 18, false);
    // Blue arrow down into it (download), red arrow up out of it (upload).
    drawArrow(p, 9, 0, 24, true, vga::blue);
    drawArrow(p, 23, 1, 25, false, vga::red);
    p.end();
    return img;
}

QIcon windowIcon() {
    QIcon icon;
    QImage img = windowIconImage();
    icon.addPixmap(QPixmap::fromImage(img));
    icon.addPixmap(QPixmap::fromImage(img.scaled(16, 16, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
    return icon;
}

QImage aboutPicture() {
    QImage img(240, 240, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);

    // Evening sky over the whole picture.
    QLinearGradient sky(0, 0, 0, 240);
    sky.setColorAt(0.0, QColor(8, 16, 96));
    sky.setColorAt(0.55, QColor(24, 88, 168));
    sky.setColorAt(1.0, QColor(96, 168, 208));
    p.fillRect(img.rect(), sky);
    // A few stars.
    p.setPen(Qt::NoPen);
    const QPoint stars[] = {{14, 12}, {52, 30}, {96, 8}, {130, 22}, {176, 10}, {220, 34}, {30, 56}, {204, 62}};
    for (const auto& s : stars) {
        p.setBrush(QColor(255, 255, 220));
        p.drawEllipse(s, 1, 1);
    }

    // Title.
    QFont title = serifFont(30, true);
    title.setPixelSize(46);
    p.setFont(title);
    shadowText(p, QRect(0, 10, 240, 54), Qt::AlignHCenter | Qt::AlignVCenter, "FTP", QColor(255, 255, 255));
    QFont version = sansFont(12, true);
    version.setPixelSize(16);
    p.setFont(version);
    shadowText(p, QRect(0, 60, 240, 22), Qt::AlignHCenter | Qt::AlignVCenter, "Version 1.0b",
               QColor(255, 236, 140));

    // The local computer, the server and the traffic between them.
    drawComputer(p, QRect(14, 100, 70, 74), QColor(0, 128, 128));
    drawServer(p, QRect(170, 92, 50, 90));
    p.setPen(QPen(QColor(255, 255, 255, 160), 2, Qt::DashLine));
    p.drawLine(88, 134, 166, 134);
    drawWideArrow(p, QPointF(164, 118), QPointF(92, 118), QColor(70, 110, 255));  // download
    drawWideArrow(p, QPointF(92, 150), QPointF(164, 150), QColor(240, 40, 40));   // upload
    drawClock(p, QPointF(127, 176), 15, 5, 0);

    // Program name.
    QFont name = sansFont(12, true);
    name.setPixelSize(17);
    p.setFont(name);
    shadowText(p, QRect(0, 192, 240, 20), Qt::AlignHCenter | Qt::AlignVCenter, "Corvantel",
               QColor(255, 255, 255));

    // Ground strip (mostly below the visible part of the box).
    QLinearGradient ground(0, 214, 0, 240);
    ground.setColorAt(0, QColor(40, 96, 40));
    ground.setColorAt(1, QColor(16, 56, 16));
    p.fillRect(QRect(0, 214, 240, 26), ground);
    p.end();
    // A picture of 256 colours, as the box holds.
    return img.convertToFormat(QImage::Format_Indexed8, Qt::DiffuseDither);
}

QPixmap openFolderPixmap() {
    QImage img = transparentImage(16, 16);
    QPainter p(&img);
    drawFolder(p, 0, 2, 15, 12, true);
    p.end();
    return QPixmap::fromImage(img);
}

QPixmap closedFolderPixmap() {
    QImage img = transparentImage(16, 16);
    QPainter p(&img);
    drawFolder(p, 0, 2, 15, 12, false);
    p.end();
    return QPixmap::fromImage(img);
}

}  // namespace corvantel::gui
