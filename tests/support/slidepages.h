// Slide pages drawn in memory, and the ways they are shown: projected on a
// wall, fitted into a frame with bars, shared in a call.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPolygonF>
#include <QRandomGenerator>
#include <QTransform>

#include <algorithm>

// A page: a black title band with a little grey text, a blue title bar,
// dark lines of text on white, a red mark in the top-left corner of the
// body and a green one in its bottom-right. extraLines adds lines below.
inline QImage slidePage(QSize size, int lines = 4, int extraLines = 0,
                        QColor lineColour = QColor(20, 20, 20))
{
    QImage page(size, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter painter(&page);
    const int w = size.width();
    const int h = size.height();
    painter.fillRect(QRect(0, 0, w, h / 12), Qt::black);
    painter.fillRect(QRect(w / 20, h / 30, w / 5, h / 60 + 1), QColor(150, 150, 150));
    painter.fillRect(QRect(0, h / 12, w, h / 10), QColor(50, 50, 180));
    painter.fillRect(QRect(w / 40, h / 5, w / 16, h / 16), QColor(220, 30, 30));
    painter.fillRect(QRect(w - w / 40 - w / 16, h - h / 40 - h / 16, w / 16, h / 16),
                     QColor(30, 180, 40));
    for (int k = 0; k < lines + extraLines; ++k)
        painter.fillRect(QRect(w / 8, h / 3 + k * h / 12, w * (5 - k % 3) / 8, h / 30 + 1),
                         k == lines - 1 ? lineColour : QColor(20, 20, 20));
    return page;
}

// The mapping of a page of the given size onto quad (top-left, top-right,
// bottom-right, bottom-left).
inline QTransform pageToQuad(QSize page, const QPolygonF &quad)
{
    const QPolygonF from{QPointF(0, 0), QPointF(page.width(), 0),
                         QPointF(page.width(), page.height()), QPointF(0, page.height())};
    QTransform transform;
    QTransform::quadToQuad(from, quad, transform);
    return transform;
}

// page drawn into a frame of frameSize with the given background, its
// corners on quad (top-left, top-right, bottom-right, bottom-left).
inline QImage shownOn(const QImage &page, QSize frameSize, QColor background, const QPolygonF &quad)
{
    QImage frame(frameSize, QImage::Format_RGB32);
    frame.fill(background);
    QPainter painter(&frame);
    painter.setTransform(pageToQuad(page.size(), quad));
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(0, 0, page);
    return frame;
}

// Every pixel's colours moved by up to +-amount levels, the same for a seed.
inline QImage withNoise(QImage image, int amount, quint32 seed)
{
    QRandomGenerator random(seed);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int d = int(random.bounded(2 * amount + 1)) - amount;
            line[x] =
                qRgb(std::clamp(qRed(line[x]) + d, 0, 255), std::clamp(qGreen(line[x]) + d, 0, 255),
                     std::clamp(qBlue(line[x]) + d, 0, 255));
        }
    }
    return image;
}

// The largest difference of any colour of any pixel of two pictures of one
// size.
inline int largestDifference(const QImage &a, const QImage &b)
{
    int largest = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            largest = std::max({largest, std::abs(qRed(p) - qRed(q)),
                                std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
        }
    return largest;
}

// The mean difference of grey levels of two pictures, the first scaled to
// the size of the second.
inline double meanDifference(const QImage &a, const QImage &b)
{
    const QImage scaled = a.scaled(b.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    double sum = 0.0;
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x)
            sum += std::abs(qGray(scaled.pixel(x, y)) - qGray(b.pixel(x, y)));
    return sum / (double(b.width()) * b.height());
}
