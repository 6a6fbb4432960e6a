// ZelHub: one tray icon for every running Zel app.
#include "AppDelegate.h"
#include "HubGlyph.h"

#include <ZelKit/platform/ApplicationBusName.h>
#include <ZelKit/platform/SessionBusWatcher.h>
#include <ZelKit/platform/SignalWatcher.h>
#include <ZelKit/platform/WaylandSession.h>

#include <QApplication>
#include <QDBusConnection>
#include <QTimer>

#include <cstdio>

namespace {

const QString applicationID = QStringLiteral("com.brannel.ZelHub");

} // namespace

int main(int argc, char *argv[])
{
    WaylandSession::preferXWayland();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZelHub"));
    QGuiApplication::setDesktopFileName(applicationID);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(
        HubGlyph::icon(QGuiApplication::palette().color(QPalette::WindowText)));

    if (!QDBusConnection::sessionBus().isConnected()) {
        std::fputs("ZelHub: cannot reach the D-Bus session bus; the hub needs it to talk to the "
                   "Zel apps.\n",
                   stderr);
        return 1;
    }
    // Two hubs would send every command to the siblings twice.
    if (!ApplicationBusName::claimSole(applicationID)) {
        std::fputs("ZelHub is already running.\n", stderr);
        return 1;
    }

    static AppDelegate *delegate = new AppDelegate;
    SignalWatcher signalWatcher;
    signalWatcher.onSignal = [](const char *) { QCoreApplication::quit(); };
    // Without the bus no sibling can reach the hub: it ends with the session.
    SessionBusWatcher busWatcher;
    busWatcher.onDisconnected = [] {
        std::fputs("ZelHub: the D-Bus session bus has gone away; the hub ends with the "
                   "session.\n",
                   stderr);
        QCoreApplication::exit(1);
    };
    QObject::connect(&app, &QCoreApplication::aboutToQuit, delegate,
                     [] { delegate->applicationWillTerminate(); });
    QTimer::singleShot(0, delegate, [] { delegate->applicationDidFinishLaunching(); });

    const int status = QApplication::exec();
    delete delegate;
    ApplicationBusName::release(applicationID);
    return status;
}
