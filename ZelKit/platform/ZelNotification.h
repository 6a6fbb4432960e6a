#pragma once

#include <QString>
#include <QVariantMap>

#include <optional>

// One delivered notification: its name and, when the sender gave one, its userInfo.
// A userInfo value is a QString (wire type s), a QByteArray (ay) or anything else
// the sender put in a variant, which receivers treat as a wrongly typed value.
struct ZelNotification
{
    QString name;
    std::optional<QVariantMap> userInfo;
    // Who posted it, where the transport tells (a unique bus name such as ":1.42"); for
    // tools that show the traffic. The protocol never relies on it.
    std::optional<QString> sender = std::nullopt;
};
