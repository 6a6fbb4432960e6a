#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QPointF>

// The hub protocol's anchor is in device-independent pixels with its origin at the
// bottom-left corner of the primary screen, y growing upward; Qt's global coordinates
// grow downward from the top left. These convert between the two.
class ZELKIT_EXPORT ZelScreenAnchor
{
public:
    ZelScreenAnchor() = delete;

    // A received anchor as a Qt global point, e.g. to move a window to the hub's icon.
    static QPointF toGlobal(QPointF anchor);
    // A Qt global point as an anchor to send.
    static QPointF fromGlobal(QPointF global);
};
