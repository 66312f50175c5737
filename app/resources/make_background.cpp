// Paints the window's background picture, 495 by 600: a calm dark gradient
// with a line drawing of a printer at work, leaving the top right free for the
// white version label and the lower part for the step buttons.
//
//   make_background OUTPUT.jpg
#include <QCoreApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>

#include "window_look.h"

namespace {

constexpr int width = look::window_width;
constexpr int height = look::window_height;

QColor teal(int alpha)
{
    return QColor(look::teal.red, look::teal.green, look::teal.blue, alpha);
}

void paint(QPainter& p)
{
    p.setRenderHint(QPainter::Antialiasing, true);

    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0.0, QColor(20, 31, 42));
    sky.setColorAt(0.55, QColor(28, 49, 60));
    sky.setColorAt(1.0, QColor(33, 62, 70));
    p.fillRect(0, 0, width, height, sky);

    QRadialGradient glow(QPointF(width / 2.0, 250), 260);
    glow.setColorAt(0.0, QColor(83, 210, 194, 46));
    glow.setColorAt(1.0, QColor(83, 210, 194, 0));
    p.fillRect(0, 0, width, height, glow);

    // Faint print layers across the whole picture.
    for (int y = 70; y < height; y += 9) {
        const int alpha = 6 + (y % 27 == 0 ? 4 : 0);
        p.setPen(QPen(QColor(255, 255, 255, alpha), 1));
        p.drawLine(0, y, width, y);
    }

    // The printer's frame: two rails, the top bar, the gantry and the bed.
    const qreal left = 137, right = 358, top = 92, bed = 352;
    p.setPen(QPen(QColor(255, 255, 255, 70), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(left, top), QPointF(left, bed + 22));
    p.drawLine(QPointF(right, top), QPointF(right, bed + 22));
    p.drawLine(QPointF(left - 8, top), QPointF(right + 8, top));
    p.setPen(QPen(QColor(255, 255, 255, 55), 2));
    p.drawLine(QPointF(left, 196), QPointF(right, 196));
    p.setPen(QPen(QColor(255, 255, 255, 85), 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(left + 18, bed), QPointF(right - 18, bed));

    // The object being printed: a vase of stacked layers, the newest in teal.
    const qreal centre = (left + right) / 2.0;
    const int layers = 26;
    for (int i = 0; i < layers; ++i) {
        const qreal y = bed - 5 - i * 5.2;
        const qreal t = i / static_cast<qreal>(layers - 1);
        const qreal half = 30 + 16 * std::sin(t * 3.1) - 8 * t;
        const bool newest = i >= layers - 3;
        p.setPen(QPen(newest ? teal(200) : QColor(255, 255, 255, 60 + i * 3), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(centre - half, y), QPointF(centre + half, y));
    }

    // The print head above the newest layer, on the gantry.
    const qreal headY = bed - 5 - layers * 5.2 - 14;
    p.setPen(QPen(QColor(255, 255, 255, 60), 2));
    p.drawLine(QPointF(centre, 196), QPointF(centre, headY - 14));
    QPainterPath head;
    head.addRoundedRect(QRectF(centre - 17, headY - 30, 34, 22), 4, 4);
    p.fillPath(head, QColor(255, 255, 255, 40));
    p.setPen(QPen(QColor(255, 255, 255, 110), 2));
    p.drawPath(head);
    QPainterPath nozzle;
    nozzle.moveTo(centre - 6, headY - 8);
    nozzle.lineTo(centre + 6, headY - 8);
    nozzle.lineTo(centre, headY + 2);
    nozzle.closeSubpath();
    p.fillPath(nozzle, teal(220));
    QRadialGradient hot(QPointF(centre, headY + 6), 18);
    hot.setColorAt(0.0, teal(120));
    hot.setColorAt(1.0, teal(0));
    p.fillRect(QRectF(centre - 20, headY - 12, 40, 36), hot);

    // A quiet band behind the buttons and the progress bar.
    QLinearGradient band(0, 400, 0, height);
    band.setColorAt(0.0, QColor(0, 0, 0, 0));
    band.setColorAt(1.0, QColor(0, 0, 0, 60));
    p.fillRect(0, 400, width, height - 400, band);
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.jpg\n", argv[0]);
        return 2;
    }
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    paint(painter);
    painter.end();
    if (!image.save(QString::fromLocal8Bit(argv[1]), "JPG", 92)) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
