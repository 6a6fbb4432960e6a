#include "ZelHubProtocol.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>

bool ZelHubProtocol::stringsEqual(const QString &a, const QString &b)
{
    if (a == b)
        return true;
    return a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}

std::optional<QString> ZelHubProtocol::stringValue(const QVariantMap &userInfo, const QString &key)
{
    const auto it = userInfo.constFind(key);
    if (it == userInfo.constEnd() || it->typeId() != QMetaType::QString)
        return std::nullopt;
    QString text = it->toString();
    if (text.size() > maxTextLength)
        return std::nullopt;
    return text;
}

std::optional<QByteArray> ZelHubProtocol::dataValue(const QVariantMap &userInfo, const QString &key)
{
    const auto it = userInfo.constFind(key);
    if (it == userInfo.constEnd() || it->typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return it->toByteArray();
}

QString ZelHubProtocol::coordinateText(double value)
{
    // Every coordinate a screen can have is written in decimal form (100000.0, not 1e+05),
    // which a reader without an exponent parser still understands; only beyond that range
    // does the shortest general form, exponent included, take over.
    const double magnitude = std::fabs(value);
    const bool decimal = value == 0 || (magnitude > 1e-6 && magnitude < 1e15);
    char buffer[64];
    const auto result =
        decimal ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed)
                : std::to_chars(buffer, buffer + sizeof buffer, value);
    QString text = QString::fromLatin1(buffer, result.ptr - buffer);
    if (decimal && !text.contains(u'.'))
        text += QLatin1String(".0");
    return text;
}

std::optional<double> ZelHubProtocol::parseCoordinate(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    const QChar first = text.front();
    if (first == u' ' || first == u'\t' || first == u'\n' || first == u'\v' || first == u'\f' ||
        first == u'\r' || first == QChar(u'\0'))
        return std::nullopt;

    // Qt sets the process locale from the environment; a German locale would read
    // "812,5" and refuse "812.5". strtod_l with a private C locale is immune to that.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    const QByteArray bytes = text.toUtf8();
    char *end = nullptr;
    const double value = strtod_l(bytes.constData(), &end, cLocale);
    if (end != bytes.constData() + bytes.size())
        return std::nullopt;
    // "inf" and "nan" read completely, but no screen has such a point.
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}

void ZelHubProtocol::insertAnchor(QVariantMap &userInfo, QPointF anchor)
{
    userInfo.insert(keyAnchorX, coordinateText(anchor.x()));
    userInfo.insert(keyAnchorY, coordinateText(anchor.y()));
}

std::optional<QPointF> ZelHubProtocol::readAnchor(const std::optional<QVariantMap> &userInfo)
{
    if (!userInfo)
        return std::nullopt;
    const auto xText = stringValue(*userInfo, keyAnchorX);
    if (!xText)
        return std::nullopt;
    const auto x = parseCoordinate(*xText);
    if (!x)
        return std::nullopt;
    const auto yText = stringValue(*userInfo, keyAnchorY);
    if (!yText)
        return std::nullopt;
    const auto y = parseCoordinate(*yText);
    if (!y)
        return std::nullopt;
    return QPointF(*x, *y);
}

std::optional<QString>
ZelHubProtocol::readActivationToken(const std::optional<QVariantMap> &userInfo)
{
    if (!userInfo)
        return std::nullopt;
    // Compositors' tokens are a few dozen characters; stringValue refuses longer texts.
    auto token = stringValue(*userInfo, keyActivationToken);
    if (!token || token->isEmpty())
        return std::nullopt;
    return token;
}

bool ZelHubProtocol::isAddressedTo(const std::optional<QVariantMap> &userInfo,
                                   const std::optional<QString> &ownID)
{
    if (!userInfo)
        return true;
    const auto it = userInfo->constFind(keyTargetID);
    if (it == userInfo->constEnd())
        return true;
    if (it->typeId() != QMetaType::QString)
        return true;
    const QString target = it->toString();
    if (target.isEmpty())
        return true;
    if (target.size() > maxTextLength)
        return false;
    if (!ownID)
        return false;
    return stringsEqual(target, *ownID);
}
