#pragma once

// The exported object behind DBusMenuExporter: the generated adaptor calls these members.
#include "DBusMenuTypes.h"

#include <QDBusVariant>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>

class QAction;
class QMenu;

class DBusMenuObject : public QObject
{
    Q_OBJECT
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)
public:
    explicit DBusMenuObject(QMenu *menu, QObject *parent = nullptr);

    uint version() const { return 3; }
    QString textDirection() const;
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public Q_SLOTS:
    uint GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                   DBusMenuLayoutItem &layout);
    DBusMenuItemList GetGroupProperties(const QList<int> &ids, const QStringList &propertyNames);
    QDBusVariant GetProperty(int id, const QString &name);
    void Event(int id, const QString &eventId, const QDBusVariant &data, uint timestamp);
    QList<int> EventGroup(const DBusMenuEventList &events);
    bool AboutToShow(int id);
    QList<int> AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors);

Q_SIGNALS:
    void ItemsPropertiesUpdated(const DBusMenuItemList &updatedProps,
                                const DBusMenuItemKeysList &removedProps);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Lets the menu's owner bring the items up to date; then tells cached hosts.
    void refresh();
    void changed();
    void publishChange();
    int idOf(QAction *action);
    QAction *actionOf(int id) const;
    QVariantMap properties(int id, const QStringList &names) const;
    bool activate(int id, const QString &eventId);

    QPointer<QMenu> m_menu;
    QHash<QAction *, int> m_ids;
    QHash<int, QAction *> m_actions;
    int m_nextId = 1;
    uint m_revision = 1;
    bool m_dirty = false;
    bool m_publishQueued = false;
};
