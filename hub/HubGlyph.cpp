#include "HubGlyph.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <cmath>

namespace HubGlyph {

qreal drawnSide(qreal slot)
{
    // A bigger slot gets the design at whole multiples of its size, centred with a margin,
    // as a template image sits in a taller menu bar; a smaller one gets it shrunk.
    return slot < side ? slot : side * std::floor(slot / side);
}

void paint(QPainter &painter, const QRectF &target, const QColor &color)
{
    constexpr qreal square = 3.6;
    constexpr qreal radius = 0.8;
    constexpr qreal pitch = 5.0; // square + the gap of 1.4
    constexpr qreal origin = -6.8;

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(target.center());
    const qreal scale = drawnSide(std::min(target.width(), target.height())) / side;
    painter.scale(scale, scale);
    // Qt's y axis points down, so a turn that is counter-clockwise on screen is negative.
    painter.rotate(-15.0);
    // The design's rows count upward; flip so row 0 is the lowest as drawn.
    painter.scale(1.0, -1.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            const QRectF rect(origin + pitch * column, origin + pitch * row, square, square);
            painter.drawRoundedRect(rect, radius, radius);
        }
    }
    painter.restore();
}

namespace {

class GlyphEngine : public QIconEngine
{
public:
    explicit GlyphEngine(QColor color) : m_color(color) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State) override
    {
        HubGlyph::paint(*painter, rect, colorFor(mode));
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }

    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override
    {
        // `size` is already in device pixels; drawing at exactly that size keeps the
        // edges on the pixel grid at every ratio.
        QPixmap result = pixmap(size, mode, state);
        result.setDevicePixelRatio(scale);
        return result;
    }

    // Square whatever the slot, so that a wide slot does not stretch the glyph.
    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int square = std::min(size.width(), size.height());
        return {square, square};
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        return {QSize(16, 16), QSize(18, 18), QSize(22, 22), QSize(24, 24), QSize(32, 32),
                QSize(36, 36), QSize(44, 44), QSize(48, 48), QSize(64, 64)};
    }

    QString key() const override { return QStringLiteral("ZelHubGlyph"); }
    QIconEngine *clone() const override { return new GlyphEngine(m_color); }

private:
    QColor colorFor(QIcon::Mode mode) const
    {
        if (mode != QIcon::Disabled)
            return m_color;
        QColor faded = m_color;
        faded.setAlphaF(faded.alphaF() * 0.4);
        return faded;
    }

    QColor m_color;
};

} // namespace

double luminance(const QColor &color)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) +
           0.0722 * linear(color.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor colorOn(const QColor &background, const QColor &preferred)
{
    // 4.5:1 keeps the glyph plain on anything; black or white always reach it.
    if (contrast(preferred, background) >= 4.5)
        return preferred;
    return contrast(Qt::black, background) >= contrast(Qt::white, background) ? QColor(Qt::black)
                                                                              : QColor(Qt::white);
}

QIcon icon(const QColor &color)
{
    // Not a mask: it is already drawn in the colour that suits its panel, and a tray
    // backend that tints masks would undo that.
    return QIcon(new GlyphEngine(color));
}

} // namespace HubGlyph
