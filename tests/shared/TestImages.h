#pragma once

#include <QBuffer>
#include <QImage>

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
