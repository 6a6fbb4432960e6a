#include "DBusMenuExporter.h"

#include "DBusMenuObject.h"
#include "dbusmenuadaptor.h"

#include <QAction>
#include <QActionEvent>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QMenu>
#include <QTimer>

Q_LOGGING_CATEGORY(lcZelMenu, "zelkit.menu", QtWarningMsg)

namespace {

// Hosts read "_" as the mnemonic mark where Qt writes "&".
QString dbusLabel(const QString &text)
{
    QString label;
    label.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'&' && i + 1 < text.size()) {
            label += text.at(++i) == u'&' ? QStringLiteral("&") : u'_' + text.at(i);
        } else if (c == u'_') {
            label += QStringLiteral("__");
        } else {
            label += c;
        }
    }
    return label;
}

// [["Control", "q"]]: each key combination of the sequence, modifiers first.
QList<QStringList> dbusShortcut(const QKeySequence &sequence)
{
    QList<QStringList> result;
    for (int i = 0; i < sequence.count(); ++i) {
        const QKeyCombination combination = sequence[i];
        QStringList keys;
        const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
        if (modifiers & Qt::ControlModifier)
            keys << QStringLiteral("Control");
        if (modifiers & Qt::AltModifier)
            keys << QStringLiteral("Alt");
        if (modifiers & Qt::ShiftModifier)
            keys << QStringLiteral("Shift");
        if (modifiers & Qt::MetaModifier)
            keys << QStringLiteral("Super");
        QString key = QKeySequence(combination.key()).toString(QKeySequence::PortableText);
        if (key.size() == 1)
            key = key.toLower();
        keys << key;
        result << keys;
    }
    return result;
}

} // namespace

DBusMenuObject::DBusMenuObject(QMenu *menu, QObject *parent) : QObject(parent), m_menu(menu)
{
    menu->installEventFilter(this);
}

QString DBusMenuObject::textDirection() const
{
    return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl")
                                                                 : QStringLiteral("ltr");
}

int DBusMenuObject::idOf(QAction *action)
{
    if (const auto found = m_ids.constFind(action); found != m_ids.cend())
        return *found;
    const int id = m_nextId++;
    m_ids.insert(action, id);
    m_actions.insert(id, action);
    connect(action, &QObject::destroyed, this, [this, action, id] {
        m_ids.remove(action);
        m_actions.remove(id);
    });
    return id;
}

QAction *DBusMenuObject::actionOf(int id) const
{
    QAction *action = m_actions.value(id);
    return action && m_menu && m_menu->actions().contains(action) ? action : nullptr;
}

QVariantMap DBusMenuObject::properties(int id, const QStringList &names) const
{
    QVariantMap all;
    if (id == 0) {
        all.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    } else if (QAction *action = actionOf(id)) {
        if (action->isSeparator()) {
            all.insert(QStringLiteral("type"), QStringLiteral("separator"));
        } else {
            all.insert(QStringLiteral("label"), dbusLabel(action->text()));
            all.insert(QStringLiteral("enabled"), action->isEnabled());
            if (!action->shortcut().isEmpty())
                all.insert(QStringLiteral("shortcut"),
                           QVariant::fromValue(dbusShortcut(action->shortcut())));
            if (!action->icon().name().isEmpty())
                all.insert(QStringLiteral("icon-name"), action->icon().name());
            if (action->isCheckable()) {
                all.insert(QStringLiteral("toggle-type"), action->actionGroup()
                                                              ? QStringLiteral("radio")
                                                              : QStringLiteral("checkmark"));
                all.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
            }
        }
        all.insert(QStringLiteral("visible"), action->isVisible());
    }
    if (names.isEmpty())
        return all;
    QVariantMap wanted;
    for (const QString &name : names)
        if (const auto found = all.constFind(name); found != all.cend())
            wanted.insert(name, *found);
    return wanted;
}

void DBusMenuObject::refresh()
{
    if (m_menu)
        Q_EMIT m_menu->aboutToShow();
    publishChange();
}

bool DBusMenuObject::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::ActionAdded:
    case QEvent::ActionRemoved:
    case QEvent::ActionChanged:
        changed();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void DBusMenuObject::changed()
{
    m_dirty = true;
    // Several changes in a row (a menu filled in anew) make one update.
    if (m_publishQueued)
        return;
    m_publishQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_publishQueued = false;
        publishChange();
    });
}

void DBusMenuObject::publishChange()
{
    if (!m_dirty)
        return;
    m_dirty = false;
    ++m_revision;
    qCDebug(lcZelMenu) << "layout now at revision" << m_revision;
    // Hosts that keep the items they built (GNOME's) take new labels only from this.
    DBusMenuItemList updated;
    if (m_menu)
        for (QAction *action : m_menu->actions())
            updated.append({idOf(action), properties(idOf(action), {})});
    Q_EMIT ItemsPropertiesUpdated(updated, {});
    Q_EMIT LayoutUpdated(m_revision, 0);
}

uint DBusMenuObject::GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                               DBusMenuLayoutItem &layout)
{
    // Some hosts read the layout without AboutToShow first; both see the menu of now.
    if (parentId == 0)
        refresh();
    layout = {};
    layout.id = parentId;
    layout.properties = properties(parentId, propertyNames);
    if (parentId == 0 && recursionDepth != 0 && m_menu) {
        for (QAction *action : m_menu->actions()) {
            const int id = idOf(action);
            layout.children.append({id, properties(id, propertyNames), {}});
        }
    }
    return m_revision;
}

DBusMenuItemList DBusMenuObject::GetGroupProperties(const QList<int> &ids,
                                                    const QStringList &propertyNames)
{
    DBusMenuItemList result;
    for (const int id : ids)
        if (id == 0 || actionOf(id))
            result.append({id, properties(id, propertyNames)});
    return result;
}

QDBusVariant DBusMenuObject::GetProperty(int id, const QString &name)
{
    return QDBusVariant(properties(id, {}).value(name));
}

bool DBusMenuObject::activate(int id, const QString &eventId)
{
    QAction *action = actionOf(id);
    if (id != 0 && !action)
        return false;
    if (eventId != u"clicked" || !action || action->isSeparator() || !action->isEnabled())
        return true;
    // The host waits for the reply; what the action does (a quit, say) comes after it.
    QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
    return true;
}

void DBusMenuObject::Event(int id, const QString &eventId, const QDBusVariant &, uint)
{
    if (!activate(id, eventId))
        qCDebug(lcZelMenu) << "event" << eventId << "for unknown item" << id;
}

QList<int> DBusMenuObject::EventGroup(const DBusMenuEventList &events)
{
    QList<int> idErrors;
    for (const DBusMenuEvent &event : events)
        if (!activate(event.id, event.eventId))
            idErrors.append(event.id);
    return idErrors;
}

bool DBusMenuObject::AboutToShow(int id)
{
    const uint before = m_revision;
    if (id == 0)
        refresh();
    return m_revision != before;
}

QList<int> DBusMenuObject::AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors)
{
    QList<int> updatesNeeded;
    for (const int id : ids) {
        if (id != 0 && !actionOf(id))
            idErrors.append(id);
        else if (AboutToShow(id))
            updatesNeeded.append(id);
    }
    return updatesNeeded;
}

DBusMenuExporter::DBusMenuExporter(QDBusConnection bus, const QString &path, QMenu *menu,
                                   QObject *parent)
    : QObject(parent), m_bus(std::move(bus)), m_path(path)
{
    registerDBusMenuTypes();
    m_object = new DBusMenuObject(menu, this);
    new DbusmenuAdaptor(m_object);
    m_exported = m_bus.registerObject(path, m_object, QDBusConnection::ExportAdaptors);
    if (!m_exported)
        qCWarning(lcZelMenu) << "could not export the menu at" << path;
}

DBusMenuExporter::~DBusMenuExporter()
{
    if (m_exported)
        m_bus.unregisterObject(m_path);
}
