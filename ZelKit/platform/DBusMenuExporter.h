#pragma once

#include <ZelKit/ZelKitExport.h>

#include <QDBusConnection>
#include <QObject>
#include <QString>

class QMenu;
class DBusMenuObject;

// A QMenu published on the bus as a D-Bus menu (com.canonical.dbusmenu), the menu a
// StatusNotifierItem host draws for an item. Hosts always read the menu's actions as they
// are at that moment: before a host shows the menu the exporter emits the menu's
// aboutToShow, so whoever keeps the menu's items up to date there serves both the QMenu
// and the hosts. A change of the actions reaches hosts that cache as LayoutUpdated.
// The menu is flat: submenus are not exported.
class ZELKIT_EXPORT DBusMenuExporter : public QObject
{
    Q_OBJECT
public:
    DBusMenuExporter(QDBusConnection bus, const QString &path, QMenu *menu,
                     QObject *parent = nullptr);
    ~DBusMenuExporter() override;

    QString path() const { return m_path; }
    // False when another object already has the path on this connection.
    bool isExported() const { return m_exported; }

private:
    QDBusConnection m_bus;
    QString m_path;
    DBusMenuObject *m_object = nullptr;
    bool m_exported = false;
};
