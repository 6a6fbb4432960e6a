#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QPointF>
#include <QString>
#include <QVariantMap>

#include <optional>

// The names and keys of the hub protocol, and the rules both sides read them by.
class ZELKIT_EXPORT ZelHubProtocol
{
public:
    ZelHubProtocol() = delete;

    // "register" is a C++ keyword, hence the one trailing underscore.
    static inline const QString register_ = QStringLiteral("com.brannel.zelhub.register");
    static inline const QString unregister = QStringLiteral("com.brannel.zelhub.unregister");
    static inline const QString discover = QStringLiteral("com.brannel.zelhub.discover");
    static inline const QString hideIcon = QStringLiteral("com.brannel.zelhub.hideIcon");
    static inline const QString showIcon = QStringLiteral("com.brannel.zelhub.showIcon");
    static inline const QString activate = QStringLiteral("com.brannel.zelhub.activate");

    static inline const QString keyAppID = QStringLiteral("appID");
    static inline const QString keyAppName = QStringLiteral("appName");
    static inline const QString keyBundleID = QStringLiteral("bundleID");
    static inline const QString keyTargetID = QStringLiteral("targetID");
    static inline const QString keyAnchorX = QStringLiteral("anchorX");
    static inline const QString keyAnchorY = QStringLiteral("anchorY");
    static inline const QString keyStatusImageData = QStringLiteral("statusImageData");
    static inline const QString keyStatusSymbolName = QStringLiteral("statusSymbolName");
    static inline const QString keyStatusTitle = QStringLiteral("statusTitle");
    // Optional on "activate": the xdg-activation token a Wayland host gave the hub for the
    // click, which lets the sibling's window take focus. Receivers that do not read it
    // ignore it, as they ignore every key they do not know.
    static inline const QString keyActivationToken = QStringLiteral("activationToken");

    // Any process of the user can post, so every text is bounded before any work is done
    // on it: a longer "appID" or "targetID" is malformed, any other longer text counts as
    // absent. Normalising a text of this length stays cheap whatever it holds.
    static constexpr qsizetype maxTextLength = 255;

    // Case-sensitive equality where canonically equivalent strings are equal (NFC forms).
    static bool stringsEqual(const QString &a, const QString &b);

    // The value under key when it is text on the wire of at most maxTextLength UTF-16
    // code units; anything else counts as absent.
    static std::optional<QString> stringValue(const QVariantMap &userInfo, const QString &key);
    static std::optional<QByteArray> dataValue(const QVariantMap &userInfo, const QString &key);

    // Shortest decimal text that reads back as the same double, with at least one
    // fractional digit ("812.0", "100000.0", "0.0001"); the exponent form only for
    // magnitudes of 10^15 and more or 10^-6 and less, which no screen has.
    static QString coordinateText(double value);
    // Reads one coordinate: non-empty, no leading blank or NUL, consumed completely by a
    // C-locale strtod (whatever the process locale), and finite.
    static std::optional<double> parseCoordinate(const QString &text);
    // Sets "anchorX" and "anchorY" together.
    static void insertAnchor(QVariantMap &userInfo, QPointF anchor);
    // Both coordinates or none: one bad coordinate discards the anchor.
    static std::optional<QPointF> readAnchor(const std::optional<QVariantMap> &userInfo);

    // The "activationToken" text; none when absent, not text, empty or too long.
    static std::optional<QString> readActivationToken(const std::optional<QVariantMap> &userInfo);

    // Whether a hub command is meant for the application with id ownID (none when it
    // has no configuration yet). A target longer than maxTextLength is meant for nobody.
    static bool isAddressedTo(const std::optional<QVariantMap> &userInfo,
                              const std::optional<QString> &ownID);
};
