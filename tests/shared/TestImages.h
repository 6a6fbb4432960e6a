#pragma once

#include <QBuffer>
#include <QImage>

#include <cmath>

// A PNG of one colour, as a sibling would send for its status image.
inline QByteArray solidPng(QSize size, QColor colour = Qt::green)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(colour);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return buffer.data();
}

// The contrast ratio of two colours, from their relative luminance, as WCAG defines both.
inline double contrast(QRgb a, QRgb b)
{
    const auto luminance = [](QRgb c) {
        const auto linear = [](int v) { // 10 of 255 is the 0.04045 of a channel from 0 to 1
            return v <= 10 ? v / 255.0 / 12.92 : std::pow((v / 255.0 + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(qRed(c)) + 0.7152 * linear(qGreen(c)) + 0.0722 * linear(qBlue(c));
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}
