#include "PropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QTimeZone>

#include <plist/plist.h>

#include <limits>
#include <memory>

namespace {

// Preferences are small; a hostile file must neither exhaust memory nor the stack.
constexpr qint64 maxFileBytes = 64 * 1024 * 1024;
constexpr int maxDepth = 512;

struct PlistDeleter
{
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::optional<QVariant> toVariant(plist_t node, int depth);

std::optional<QVariant> dictionaryToVariant(plist_t node, int depth)
{
    QVariantMap map;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    if (!it)
        return std::nullopt;
    std::optional<QVariant> result;
    for (;;) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (!value) {
            free(key);
            result = map;
            break;
        }
        const QString name = QString::fromUtf8(key);
        free(key);
        std::optional<QVariant> converted = toVariant(value, depth + 1);
        // A top-level value of a kind we cannot hold costs that one key, not the file.
        if (!converted && depth == 0)
            continue;
        if (!converted)
            break;
        map.insert(name, *converted);
    }
    free(it);
    return result;
}

std::optional<QVariant> toVariant(plist_t node, int depth)
{
    if (depth > maxDepth)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return QVariant(value != 0);
    }
    case PLIST_UINT: {
        // libplist keeps every integer in 64 bits; negative ones come back in two's complement.
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return QVariant(qlonglong(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return QVariant(value);
    }
    case PLIST_STRING: {
        char *value = nullptr;
        plist_get_string_val(node, &value);
        const QString text = QString::fromUtf8(value);
        free(value);
        return QVariant(text);
    }
    case PLIST_DATE: {
        // Property-list dates count from 2001-01-01 00:00 UTC.
        int32_t seconds = 0;
        int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        static const QDateTime epoch(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
        return QVariant(epoch.addSecs(seconds).addMSecs(microseconds / 1000));
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char *bytes = plist_get_data_ptr(node, &length);
        if (length > uint64_t(std::numeric_limits<qsizetype>::max()))
            return std::nullopt;
        return QVariant(QByteArray(bytes, qsizetype(length)));
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t count = plist_array_get_size(node);
        list.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            std::optional<QVariant> item = toVariant(plist_array_get_item(node, i), depth + 1);
            if (!item)
                return std::nullopt;
            list.append(*item);
        }
        return QVariant(list);
    }
    case PLIST_DICT:
        return dictionaryToVariant(node, depth);
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return QVariant(qulonglong(value));
    }
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<QVariantMap> PropertyList::dictionaryFromData(const QByteArray &data)
{
    if (data.isEmpty() || data.size() > maxFileBytes)
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(data.constData(), uint32_t(data.size()), &root);
    const PlistPtr owner(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT)
        return std::nullopt;
    const std::optional<QVariant> dictionary = toVariant(root, 0);
    if (!dictionary)
        return std::nullopt;
    return dictionary->toMap();
}

std::optional<QVariantMap> PropertyList::readDictionary(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray data = file.read(maxFileBytes + 1);
    if (file.error() != QFile::NoError)
        return std::nullopt;
    return dictionaryFromData(data);
}
