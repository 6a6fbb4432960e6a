#include <ZelKit/ZelHubApp.h>
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/platform/DBusNotificationCenter.h>

#include <QTest>

#include <clocale>

using Info = std::optional<QVariantMap>;
Q_DECLARE_METATYPE(Info)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::optional<QPointF>)

class tst_ZelHubProtocol : public QObject
{
    Q_OBJECT
private slots:
    void constants();
    void appEquality_data();
    void appEquality();
    void coordinateText_data();
    void coordinateText();
    void parseCoordinate_data();
    void parseCoordinate();
    void parseCoordinateIgnoresProcessLocale();
    void readAnchor_data();
    void readAnchor();
    void addressing_data();
    void addressing();
    void busAddress_data();
    void busAddress();
};

void tst_ZelHubProtocol::constants()
{
    // Peers built elsewhere rely on these exact texts, capital I of "Icon" included.
    QCOMPARE(ZelHubProtocol::register_, u"com.brannel.zelhub.register");
    QCOMPARE(ZelHubProtocol::unregister, u"com.brannel.zelhub.unregister");
    QCOMPARE(ZelHubProtocol::discover, u"com.brannel.zelhub.discover");
    QCOMPARE(ZelHubProtocol::hideIcon, u"com.brannel.zelhub.hideIcon");
    QCOMPARE(ZelHubProtocol::showIcon, u"com.brannel.zelhub.showIcon");
    QCOMPARE(ZelHubProtocol::activate, u"com.brannel.zelhub.activate");
    QCOMPARE(ZelHubProtocol::keyAppID, u"appID");
    QCOMPARE(ZelHubProtocol::keyAppName, u"appName");
    QCOMPARE(ZelHubProtocol::keyBundleID, u"bundleID");
    QCOMPARE(ZelHubProtocol::keyTargetID, u"targetID");
    QCOMPARE(ZelHubProtocol::keyAnchorX, u"anchorX");
    QCOMPARE(ZelHubProtocol::keyAnchorY, u"anchorY");
    QCOMPARE(ZelHubProtocol::keyStatusImageData, u"statusImageData");
    QCOMPARE(ZelHubProtocol::keyStatusSymbolName, u"statusSymbolName");
    QCOMPARE(ZelHubProtocol::keyStatusTitle, u"statusTitle");
    QCOMPARE(ZelHubProtocol::keyActivationToken, u"activationToken");
}

void tst_ZelHubProtocol::appEquality_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("equal");
    QTest::newRow("same text") << "Notes"
                               << "Notes" << true;
    QTest::newRow("case differs") << "notes"
                                  << "Notes" << false;
    // "é" precomposed versus "e" + combining acute: the same text to a reader.
    QTest::newRow("canonically equivalent")
        << QString::fromUtf8("Caf\u00e9") << QString::fromUtf8("Cafe\u0301") << true;
    QTest::newRow("compatibility only") << QString::fromUtf8("\ufb01le") << "file" << false;
    QTest::newRow("trailing space") << "Notes "
                                    << "Notes" << false;
}

void tst_ZelHubProtocol::appEquality()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, equal);
    for (int field = 0; field < 3; ++field) {
        ZelHubApp x{"id", "Name", "com.example.App"};
        ZelHubApp y = x;
        (field == 0 ? x.id : field == 1 ? x.name : x.bundleID) = a;
        (field == 0 ? y.id : field == 1 ? y.name : y.bundleID) = b;
        QCOMPARE(x == y, equal);
    }
}

void tst_ZelHubProtocol::coordinateText_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("whole") << 812.0 << "812.0";
    QTest::newRow("half") << 40.5 << "40.5";
    QTest::newRow("zero") << 0.0 << "0.0";
    QTest::newRow("negative whole") << -3.0 << "-3.0";
    QTest::newRow("tenth") << 0.1 << "0.1";
    QTest::newRow("1079.5") << 1079.5 << "1079.5";
    QTest::newRow("shortest, not 17 digits") << 0.3 << "0.3";
    QTest::newRow("sum with error") << 0.1 + 0.2 << "0.30000000000000004";
    QTest::newRow("100000") << 100000.0 << "100000.0";
    QTest::newRow("0.0001") << 0.0001 << "0.0001";
}

void tst_ZelHubProtocol::coordinateText()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(ZelHubProtocol::coordinateText(value), text);
    QCOMPARE(ZelHubProtocol::parseCoordinate(text), std::optional<double>(value));
}

void tst_ZelHubProtocol::parseCoordinate_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("value");
    QTest::newRow("whole with point") << "812.0" << true << 812.0;
    QTest::newRow("plain integer") << "24" << true << 24.0;
    QTest::newRow("exponent") << "1.5e2" << true << 150.0;
    QTest::newRow("leading plus") << "+7" << true << 7.0;
    QTest::newRow("negative") << "-12.25" << true << -12.25;
    QTest::newRow("empty") << "" << false << 0.0;
    QTest::newRow("leading blank") << " 24.5" << false << 0.0;
    QTest::newRow("leading tab") << "\t24.5" << false << 0.0;
    QTest::newRow("leading newline") << "\n24.5" << false << 0.0;
    QTest::newRow("leading NUL") << QString(QChar(u'\0')) + "24" << false << 0.0;
    QTest::newRow("embedded NUL") << QString("24") + QChar(u'\0') + "5" << false << 0.0;
    QTest::newRow("trailing letters") << "24.5px" << false << 0.0;
    QTest::newRow("trailing blank") << "24.5 " << false << 0.0;
    QTest::newRow("comma decimal") << "24,5" << false << 0.0;
    QTest::newRow("letters only") << "abc" << false << 0.0;
    QTest::newRow("infinity") << "inf" << false << 0.0;
    QTest::newRow("not a number") << "nan" << false << 0.0;
    QTest::newRow("overflow") << "1e999" << false << 0.0;
}

void tst_ZelHubProtocol::parseCoordinate()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(double, value);
    const auto parsed = ZelHubProtocol::parseCoordinate(text);
    QCOMPARE(parsed.has_value(), ok);
    if (ok)
        QCOMPARE(*parsed, value);
}

void tst_ZelHubProtocol::parseCoordinateIgnoresProcessLocale()
{
    const char *candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"};
    const char *chosen = nullptr;
    for (const char *c : candidates)
        if (std::setlocale(LC_NUMERIC, c)) {
            chosen = c;
            break;
        }
    if (!chosen)
        QSKIP("no locale with a decimal comma is installed");
    QCOMPARE(ZelHubProtocol::parseCoordinate("812.5"), std::optional<double>(812.5));
    QVERIFY(!ZelHubProtocol::parseCoordinate("812,5"));
    QCOMPARE(ZelHubProtocol::coordinateText(812.5), u"812.5");
    std::setlocale(LC_NUMERIC, "C");
}

void tst_ZelHubProtocol::readAnchor_data()
{
    QTest::addColumn<Info>("info");
    QTest::addColumn<std::optional<QPointF>>("anchor");
    const auto both = [](QVariant x, QVariant y) {
        return Info(QVariantMap{{"anchorX", x}, {"anchorY", y}});
    };
    QTest::newRow("no userInfo") << Info() << std::optional<QPointF>();
    QTest::newRow("empty userInfo") << Info(QVariantMap{}) << std::optional<QPointF>();
    QTest::newRow("valid") << both("812.0", "24.5") << std::optional<QPointF>(QPointF(812, 24.5));
    QTest::newRow("only x") << Info(QVariantMap{{"anchorX", "812.0"}}) << std::optional<QPointF>();
    QTest::newRow("only y") << Info(QVariantMap{{"anchorY", "24.5"}}) << std::optional<QPointF>();
    QTest::newRow("y with leading blank") << both("812.0", " 24.5") << std::optional<QPointF>();
    QTest::newRow("y with trailing letters")
        << both("812.0", "24.5abc") << std::optional<QPointF>();
    QTest::newRow("y empty") << both("812.0", "") << std::optional<QPointF>();
    QTest::newRow("y a number") << both("812.0", 24.5) << std::optional<QPointF>();
    QTest::newRow("x a number") << both(812, "24.5") << std::optional<QPointF>();
    QTest::newRow("x as bytes") << both(QByteArray("812.0"), "24.5") << std::optional<QPointF>();
    QTest::newRow("x bad, y good") << both("x", "24.5") << std::optional<QPointF>();
}

void tst_ZelHubProtocol::readAnchor()
{
    QFETCH(Info, info);
    QFETCH(std::optional<QPointF>, anchor);
    QCOMPARE(ZelHubProtocol::readAnchor(info), anchor);
}

void tst_ZelHubProtocol::addressing_data()
{
    QTest::addColumn<Info>("info");
    QTest::addColumn<std::optional<QString>>("ownID");
    QTest::addColumn<bool>("accepted");
    const std::optional<QString> notes(QStringLiteral("notes"));
    const std::optional<QString> none;
    QTest::newRow("1 no userInfo") << Info() << notes << true;
    QTest::newRow("1 no userInfo, unconfigured") << Info() << none << true;
    QTest::newRow("2 no targetID") << Info(QVariantMap{{"anchorX", "1.0"}}) << notes << true;
    QTest::newRow("3 targetID a number") << Info(QVariantMap{{"targetID", 42}}) << notes << true;
    QTest::newRow("3 targetID bytes")
        << Info(QVariantMap{{"targetID", QByteArray("other")}}) << none << true;
    QTest::newRow("4 empty targetID") << Info(QVariantMap{{"targetID", ""}}) << none << true;
    QTest::newRow("5 unconfigured") << Info(QVariantMap{{"targetID", "notes"}}) << none << false;
    QTest::newRow("6 own id") << Info(QVariantMap{{"targetID", "notes"}}) << notes << true;
    QTest::newRow("6 other id") << Info(QVariantMap{{"targetID", "clock"}}) << notes << false;
    QTest::newRow("6 case differs") << Info(QVariantMap{{"targetID", "Notes"}}) << notes << false;
    QTest::newRow("6 canonically equivalent")
        << Info(QVariantMap{{"targetID", QString::fromUtf8("cafe\u0301")}})
        << std::optional<QString>(QString::fromUtf8("caf\u00e9")) << true;
    QTest::newRow("6 own id of 255 units") << Info(QVariantMap{{"targetID", QString(255, u'n')}})
                                           << std::optional(QString(255, u'n')) << true;
    QTest::newRow("malformed: own id of 256 units")
        << Info(QVariantMap{{"targetID", QString(256, u'n')}}) << std::optional(QString(256, u'n'))
        << false;
}

void tst_ZelHubProtocol::addressing()
{
    QFETCH(Info, info);
    QFETCH(std::optional<QString>, ownID);
    QFETCH(bool, accepted);
    QCOMPARE(ZelHubProtocol::isAddressedTo(info, ownID), accepted);
}

void tst_ZelHubProtocol::busAddress_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("interface");
    QTest::addColumn<QString>("member");
    QTest::newRow("register") << "com.brannel.zelhub.register"
                              << "/com/brannel/zelhub"
                              << "com.brannel.zelhub"
                              << "register";
    QTest::newRow("hideIcon") << "com.brannel.zelhub.hideIcon"
                              << "/com/brannel/zelhub"
                              << "com.brannel.zelhub"
                              << "hideIcon";
    QTest::newRow("no dot") << "register"
                            << ""
                            << ""
                            << "";
    QTest::newRow("one-element interface") << "zelhub.register"
                                           << ""
                                           << ""
                                           << "";
    QTest::newRow("trailing dot") << "com.brannel.zelhub."
                                  << ""
                                  << ""
                                  << "";
    QTest::newRow("dash in member") << "com.brannel.zelhub.hide-icon"
                                    << ""
                                    << ""
                                    << "";
    QTest::newRow("digit-led element") << "com.9brannel.zelhub.x"
                                       << ""
                                       << ""
                                       << "";
}

void tst_ZelHubProtocol::busAddress()
{
    QFETCH(QString, name);
    QFETCH(QString, path);
    QFETCH(QString, interface);
    QFETCH(QString, member);
    const auto address = DBusNotificationCenter::addressOf(name);
    QCOMPARE(address.has_value(), !path.isEmpty());
    if (address) {
        QCOMPARE(address->path, path);
        QCOMPARE(address->interface, interface);
        QCOMPARE(address->member, member);
    }
}

QTEST_GUILESS_MAIN(tst_ZelHubProtocol)
#include "tst_zelhubprotocol.moc"
