// zelctl: watch and drive the Zel hub protocol from a shell, for people who build or
// debug siblings. Its manual, zelctl.1, is also its --help.
#include <ZelKit/ZelHubProtocol.h>
#include <ZelKit/platform/DistributedNotificationCenter.h>
#include <ZelKit/platform/RunningApplications.h>

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QImageReader>
#include <QMap>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

constexpr int exitUsage = 2;
constexpr int exitFailure = 1;
constexpr int defaultListWaitMs = 500;
// Beyond this the header of a status image is not believed; nothing is decoded.
constexpr int maxDecodedSide = 4096;

void out(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void usageError(const QString &message)
{
    std::fprintf(stderr, "zelctl: %s\nTry 'zelctl --help'.\n", qPrintable(message));
    std::exit(exitUsage);
}

// The manual page as the terminal shows it, rendered at build time, so that the help
// and the manual can never disagree.
[[noreturn]] void showManual()
{
    QFile manual(QStringLiteral(":/zelctl/manual.txt"));
    if (!manual.open(QIODevice::ReadOnly))
        std::abort();
    std::fputs(manual.readAll().constData(), stdout);
    std::exit(0);
}

// Parses a command's own arguments; --help shows the manual.
void parseCommand(QCommandLineParser &parser, const QStringList &arguments)
{
    parser.addHelpOption();
    if (!parser.parse(arguments))
        usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        showManual();
}

QString quoted(const QString &text)
{
    QString result = QStringLiteral("\"");
    for (QChar c : text) {
        if (c == u'"' || c == u'\\')
            result += u'\\' + QString(c);
        else if (c == u'\n')
            result += QStringLiteral("\\n");
        else if (c == u'\t')
            result += QStringLiteral("\\t");
        else if (c == u'\r')
            result += QStringLiteral("\\r");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            result += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            result += c;
    }
    return result + u'"';
}

// Byte count and, when the bytes are an image, its pixel size. The header is checked
// before any pixel is allocated: anyone on the bus can send these bytes.
QString describeData(const QByteArray &data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize claimed = reader.size();
    QString what;
    if (claimed.isValid() &&
        (claimed.width() > maxDecodedSide || claimed.height() > maxDecodedSide)) {
        what =
            QStringLiteral("claims %1x%2, not decoded").arg(claimed.width()).arg(claimed.height());
    } else {
        const QImage image = reader.read();
        what = image.isNull()
                   ? QStringLiteral("not an image")
                   : QStringLiteral("%1x%2 image").arg(image.width()).arg(image.height());
    }
    return QStringLiteral("<%1 bytes, %2>").arg(data.size()).arg(what);
}

QString describeValue(const QVariant &value)
{
    if (value.typeId() == QMetaType::QString)
        return quoted(value.toString());
    if (value.typeId() == QMetaType::QByteArray)
        return describeData(value.toByteArray());
    // A wrongly typed value: shown by its type, which is what a receiver reacts to.
    const QString type = QString::fromLatin1(value.metaType().name());
    const QString text = value.canConvert<QString>() ? value.toString() : QString();
    return text.isEmpty() ? QStringLiteral("<%1>").arg(type)
                          : QStringLiteral("<%1 %2>").arg(type, quoted(text));
}

QString shortName(const QString &name)
{
    return name.mid(name.lastIndexOf(u'.') + 1);
}

const QStringList &hubNames()
{
    static const QStringList names{ZelHubProtocol::register_, ZelHubProtocol::unregister,
                                   ZelHubProtocol::discover,  ZelHubProtocol::hideIcon,
                                   ZelHubProtocol::showIcon,  ZelHubProtocol::activate};
    return names;
}

// Messages on one connection reach the bus in order, so once the bus has answered a
// call sent after them, they have left this process; only then may it exit.
bool flushToBus()
{
    return RunningApplications::system()->isRunning(QStringLiteral("org.freedesktop.DBus"));
}

std::optional<QPointF> parseAnchor(const QString &text)
{
    const QStringList parts = text.split(u',');
    if (parts.size() != 2)
        return std::nullopt;
    const auto x = ZelHubProtocol::parseCoordinate(parts.at(0));
    const auto y = ZelHubProtocol::parseCoordinate(parts.at(1));
    if (!x || !y)
        return std::nullopt;
    return QPointF(*x, *y);
}

struct CommandLine
{
    QString command;
    QStringList arguments; // program name first, as QCommandLineParser expects
};

int runMonitor(const CommandLine &cmd)
{
    QCommandLineParser parser;
    parseCommand(parser, cmd.arguments);
    if (!parser.positionalArguments().isEmpty())
        usageError(QStringLiteral("monitor takes no arguments"));

    auto *center = DistributedNotificationCenter::defaultCenter();
    auto *observer = new QObject(QCoreApplication::instance());
    for (const QString &name : hubNames()) {
        center->addObserver(observer, name, [](const ZelNotification &n) {
            QString line = shortName(n.name) + QStringLiteral(" from ") +
                           n.sender.value_or(QStringLiteral("?"));
            if (!n.userInfo) {
                line += QStringLiteral(" (no userInfo)");
            } else if (n.userInfo->isEmpty()) {
                line += QStringLiteral(" (empty userInfo)");
            } else {
                for (auto it = n.userInfo->cbegin(); it != n.userInfo->cend(); ++it)
                    line += u' ' + it.key() + u'=' + describeValue(it.value());
            }
            out(line);
        });
    }
    // The subscriptions are in force once the bus has answered a later call.
    if (!flushToBus()) {
        std::fprintf(stderr, "zelctl: the session bus does not answer\n");
        return exitFailure;
    }
    std::fprintf(stderr, "zelctl: monitoring hub notifications (Ctrl-C to stop)\n");
    return QCoreApplication::exec();
}

struct Sibling
{
    QString id;
    QString name;
    QString bundleID;
    std::optional<QString> symbol;
    std::optional<QByteArray> image;
    std::optional<QString> title;
};

int runList(const CommandLine &cmd)
{
    QCommandLineParser parser;
    const QCommandLineOption wait(QStringLiteral("wait"), QString(), QStringLiteral("MS"));
    parser.addOption(wait);
    parseCommand(parser, cmd.arguments);
    if (!parser.positionalArguments().isEmpty())
        usageError(QStringLiteral("list takes no arguments"));
    int waitMs = defaultListWaitMs;
    if (parser.isSet(wait)) {
        bool ok = false;
        waitMs = parser.value(wait).toInt(&ok);
        if (!ok || waitMs < 0 || waitMs > 600000)
            usageError(QStringLiteral("--wait wants milliseconds from 0 to 600000, got '%1'")
                           .arg(parser.value(wait)));
    }

    auto *center = DistributedNotificationCenter::defaultCenter();
    auto *observer = new QObject(QCoreApplication::instance());
    QMap<QString, Sibling> siblings; // by id, so each sibling is one line however often it answers
    center->addObserver(observer, ZelHubProtocol::register_, [&siblings](const ZelNotification &n) {
        if (!n.userInfo)
            return;
        const QVariantMap &info = *n.userInfo;
        const auto id = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyAppID);
        if (!id || id->isEmpty())
            return;
        Sibling s;
        s.id = *id;
        s.name = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyAppName).value_or(*id);
        s.bundleID =
            ZelHubProtocol::stringValue(info, ZelHubProtocol::keyBundleID).value_or(QString());
        s.symbol = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyStatusSymbolName);
        s.image = ZelHubProtocol::dataValue(info, ZelHubProtocol::keyStatusImageData);
        s.title = ZelHubProtocol::stringValue(info, ZelHubProtocol::keyStatusTitle);
        siblings.insert(s.id, s);
    });
    // Posted after subscribing on the same connection, so no answer can come too early.
    center->postNotification(ZelHubProtocol::discover, std::nullopt);
    if (!flushToBus()) {
        std::fprintf(stderr, "zelctl: the session bus does not answer\n");
        return exitFailure;
    }
    QTimer::singleShot(waitMs, QCoreApplication::instance(), [] { QCoreApplication::quit(); });
    QCoreApplication::exec();

    for (const Sibling &s : std::as_const(siblings)) {
        QString line = QStringLiteral("id=%1 name=%2 bundleID=%3")
                           .arg(quoted(s.id), quoted(s.name), quoted(s.bundleID));
        if (s.symbol)
            line += QStringLiteral(" symbol=") + quoted(*s.symbol);
        if (s.image)
            line += QStringLiteral(" image=") + describeData(*s.image);
        if (s.title)
            line += QStringLiteral(" title=") + quoted(*s.title);
        out(line);
    }
    return 0;
}

// activate, hide and show: the hub's commands with the hub's own payloads.
int runCommand(const CommandLine &cmd)
{
    const bool isActivate = cmd.command == u"activate";
    const bool takesAnchor = cmd.command != u"show";
    QCommandLineParser parser;
    const QCommandLineOption anchorOption(QStringLiteral("anchor"), QString(),
                                          QStringLiteral("X,Y"));
    if (takesAnchor)
        parser.addOption(anchorOption);
    parseCommand(parser, cmd.arguments);

    const QStringList positional = parser.positionalArguments();
    if (isActivate && positional.isEmpty())
        usageError(QStringLiteral("activate needs the id of a sibling"));
    if (positional.size() > 1)
        usageError(QStringLiteral("unexpected argument '%1'").arg(positional.at(1)));

    QVariantMap info;
    if (!positional.isEmpty())
        info.insert(ZelHubProtocol::keyTargetID, positional.first());
    if (takesAnchor && parser.isSet(anchorOption)) {
        const auto anchor = parseAnchor(parser.value(anchorOption));
        if (!anchor)
            usageError(QStringLiteral("--anchor wants two numbers X,Y, got '%1'")
                           .arg(parser.value(anchorOption)));
        ZelHubProtocol::insertAnchor(info, *anchor);
    }

    const QString name = isActivate               ? ZelHubProtocol::activate
                         : cmd.command == u"hide" ? ZelHubProtocol::hideIcon
                                                  : ZelHubProtocol::showIcon;
    DistributedNotificationCenter::defaultCenter()->postNotification(name, info);
    if (!flushToBus()) {
        std::fprintf(stderr, "zelctl: the session bus does not answer\n");
        return exitFailure;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZELCTL_VERSION));

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addVersionOption();
    // Everything after the command belongs to the command's own parser.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(QCoreApplication::arguments()))
        usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        if (parser.isSet(QStringLiteral("help")))
            showManual();
        usageError(QStringLiteral("no command given"));
    }

    CommandLine cmd{positional.first(), QStringList{QStringLiteral("zelctl")} + positional.mid(1)};
    if (parser.isSet(QStringLiteral("help")))
        cmd.arguments.append(QStringLiteral("--help"));
    using Runner = std::function<int(const CommandLine &)>;
    const QMap<QString, Runner> commands{{QStringLiteral("monitor"), runMonitor},
                                         {QStringLiteral("list"), runList},
                                         {QStringLiteral("activate"), runCommand},
                                         {QStringLiteral("hide"), runCommand},
                                         {QStringLiteral("show"), runCommand}};
    const auto runner = commands.constFind(cmd.command);
    if (runner == commands.constEnd())
        usageError(QStringLiteral("unknown command '%1'").arg(cmd.command));
    return (*runner)(cmd);
}
