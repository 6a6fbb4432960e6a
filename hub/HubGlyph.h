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

// The glyph's side in a square slot of `slot`: the 18-pixel design, shrunk for a smaller
// slot, at whole multiples of 18 in a bigger one.
qreal drawnSide(qreal slot);

// Relative luminance and contrast ratio as WCAG defines them.
double luminance(const QColor &color);
double contrast(const QColor &a, const QColor &b);
// `preferred` when it stands out on `background`, else black or white, whichever does more.
QColor colorOn(const QColor &background, const QColor &preferred);

// Paints the glyph square and centred in `target` (its design is 18 × 18), in `color`.
void paint(QPainter &painter, const QRectF &target, const QColor &color);

// The glyph drawn in `color`; tray hosts on Linux do not tint icons themselves.
QIcon icon(const QColor &color);

} // namespace HubGlyph
