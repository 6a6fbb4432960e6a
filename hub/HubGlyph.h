#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>

class QPainter;

// The hub's tray glyph: a 3 × 3 block of rounded squares, turned 15° counter-clockwise,
// drawn for every size and pixel ratio a tray host asks for, so that it stays crisp.
namespace HubGlyph {

// Side of the glyph's design, in device-independent pixels.
constexpr qreal side = 18.0;

// Paints the glyph scaled to `target` (its design is 18 × 18), in `color`.
void paint(QPainter &painter, const QRectF &target, const QColor &color);

// A mask icon drawn in `color`; tray hosts on Linux do not tint masks themselves.
QIcon icon(const QColor &color);

} // namespace HubGlyph
