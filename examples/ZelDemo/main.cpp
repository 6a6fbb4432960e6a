// ZelDemo: a sibling tray application on ZelKit's public API. See examples/README.md
// for its options and the lines it writes.
#include "DemoApp.h"
#include <ZelKit/platform/SessionBusWatcher.h>
#include <ZelKit/platform/SignalWatcher.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QImageReader>
#include <QUrl>

#include <cstdio>

namespace {

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "ZelDemo: %s\nTry 'ZelDemo --help'.\n", qPrintable(message));
    std::exit(2);
}

DemoOptions parseOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A demo sibling of the Zel hub: a tray icon that the hub hides, shows and "
                       "activates. Writes one line per hub callback to standard output."));
    parser.addHelpOption();
    const QCommandLineOption id(QStringLiteral("id"),
                                QStringLiteral("Application id (default demo)."),
                                QStringLiteral("ID"));
    const QCommandLineOption name(QStringLiteral("name"),
                                  QStringLiteral("Display name (default \"Zel Demo\")."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption symbol(QStringLiteral("symbol"),
                                    QStringLiteral("Icon-theme symbol the hub shows for us."),
                                    QStringLiteral("SYMBOL"));
    const QCommandLineOption title(QStringLiteral("title"),
                                   QStringLiteral("Title shown with the status image."),
                                   QStringLiteral("TITLE"));
    const QCommandLineOption image(QStringLiteral("image"),
                                   QStringLiteral("Status image file (PNG, SVG, ...)."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption appID(
        QStringLiteral("app-id"),
        QStringLiteral("Application id on the bus (default com.brannel.ZelDemo.<id>)."),
        QStringLiteral("APPID"));
    const QCommandLineOption baseURL(
        QStringLiteral("base-url"),
        QStringLiteral("Base address of the maker's web service (default http://127.0.0.1)."),
        QStringLiteral("URL"));
    const QCommandLineOption checkForUpdates(
        QStringLiteral("check-for-updates"),
        QStringLiteral("Check for updates right after launch, as the menu item does."));
    parser.addOptions({id, name, symbol, title, image, appID, baseURL, checkForUpdates});

    if (!parser.parse(arguments))
        fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    DemoOptions options;
    if (parser.isSet(id)) {
        options.id = parser.value(id);
        if (options.id.isEmpty())
            fail(QStringLiteral("--id must not be empty"));
    }
    options.name = parser.isSet(name) ? parser.value(name) : options.name;
    if (parser.isSet(symbol))
        options.symbol = parser.value(symbol);
    if (parser.isSet(title))
        options.title = parser.value(title);
    if (parser.isSet(image)) {
        QImageReader reader(parser.value(image));
        QImage loaded = reader.read();
        if (loaded.isNull())
            fail(QStringLiteral("cannot read image '%1': %2")
                     .arg(parser.value(image), reader.errorString()));
        // A status image is about 16 points high; a bigger file is taken as drawn
        // for a denser screen rather than sent at poster size.
        if (loaded.height() > 16)
            loaded.setDevicePixelRatio(loaded.height() / 16.0);
        options.image = loaded;
    }
    options.appID = parser.isSet(appID) ? parser.value(appID) : DemoApp::defaultAppID(options.id);
    if (parser.isSet(baseURL)) {
        // The framework takes a bad address for a programming error; a user's typo is not.
        const QUrl url(parser.value(baseURL), QUrl::StrictMode);
        if (!url.isValid() || url.isRelative())
            fail(QStringLiteral("--base-url must be an absolute address, not '%1'")
                     .arg(parser.value(baseURL)));
        options.baseURL = parser.value(baseURL);
    }
    options.checkForUpdates = parser.isSet(checkForUpdates);
    return options;
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt never sees our options: on X11 it would take "--name" and "--title" as its own
    // window-system options, eat the first and retitle our window with the second. Its
    // settings come from the environment instead (QT_QPA_PLATFORM, DISPLAY, ...).
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("ZelDemo"));
    // A tray application: closing its window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    const DemoOptions options = parseOptions(arguments);
    QGuiApplication::setDesktopFileName(options.appID);

    DemoApp demo(options);
    SignalWatcher signalWatcher;
    signalWatcher.onSignal = [&demo](const char *) { demo.quit(); };
    SessionBusWatcher busWatcher;
    busWatcher.onDisconnected = [] {
        std::fputs("ZelDemo: the D-Bus session bus has gone away; ending with the session.\n",
                   stderr);
        QCoreApplication::exit(1);
    };
    demo.start();
    const int status = QApplication::exec();
    demo.stop();
    return status;
}
