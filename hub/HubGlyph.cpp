#include "HubGlyph.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace HubGlyph {

void paint(QPainter &painter, const QRectF &target, const QColor &color)
{
    constexpr qreal square = 3.6;
    constexpr qreal radius = 0.8;
    constexpr qreal pitch = 5.0; // square + the gap of 1.4
    constexpr qreal origin = -6.8;

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(target.center());
    painter.scale(target.width() / side, target.height() / side);
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

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override { return size; }

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

QIcon icon(const QColor &color)
{
    QIcon result(new GlyphEngine(color));
    result.setIsMask(true);
    return result;
}

} // namespace HubGlyph
