#pragma once

#include <QString>
#include <QVariant>

#include <optional>

// Property lists read through libplist, XML or binary alike, as Qt values: string →
// QString, integer → qlonglong, real → double, boolean → bool, date → QDateTime (UTC),
// data → QByteArray, array → QVariantList, dictionary → QVariantMap.
class PropertyList
{
public:
    PropertyList() = delete;

    // The top-level dictionary of the file; nothing when the file is missing, unreadable,
    // not a property list or not a dictionary at the top.
    static std::optional<QVariantMap> readDictionary(const QString &path);
    static std::optional<QVariantMap> dictionaryFromData(const QByteArray &data);
};
