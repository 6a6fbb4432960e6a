#pragma once

#include <ZelKit/ZelHubApp.h>

#include <QColor>
#include <QIcon>
#include <QList>
#include <QSize>
#include <QWidget>

#include <functional>
#include <optional>
#include <utility>

class QAbstractButton;
class QLabel;
class QToolButton;

// The popup's content: one flat button per sibling, five to a row, or a line saying none
// runs. Knows nothing of the registry; its owner hands it the apps and asks it to rebuild.
class HubPopoverViewController : public QWidget
{
    Q_OBJECT
public:
    using StatusInfo = std::pair<std::optional<QIcon>, std::optional<QString>>;

    explicit HubPopoverViewController(QWidget *parent = nullptr);

    std::function<void(const ZelHubApp &)> onSelect;
    QList<ZelHubApp> apps;
    std::function<StatusInfo(const ZelHubApp &)> statusProvider;

    const qreal iconSize = 18;
    const qreal iconSpacing = 12;
    const int cols = 5;
    const qreal padding = 12;
    const qreal emptyHeight = 44;

    // Rebuilds the content from `apps` and sets preferredContentSize().
    void reload();
    QSize preferredContentSize() const { return m_preferredContentSize; }

    // The buttons in `apps` order, and the empty-state label; for the popup and for tests.
    const QList<QToolButton *> &buttons() const { return m_buttons; }
    QLabel *emptyLabel() const { return m_emptyLabel; }
    // Moves the keyboard focus to the first button, when there is one.
    void focusFirstButton();

    void iconClicked(int tag);

    // "app.dashed" from the icon theme, else the hub's own (which is installed as the
    // theme's fallback); none if both are missing.
    static std::optional<QIcon> placeholderIcon();
    static QString trimmedTitle(const std::optional<QString> &title);
    // A template image as the grid draws it: its coverage (alpha) in `color`.
    static QIcon templateIcon(const QIcon &mask, const QColor &color);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // What a button shows, so that a rebuild replaces only what changed.
    struct Face
    {
        QString id;
        std::optional<qint64> imageKey; // 0 for none
        std::optional<QString> title;
    };
    QToolButton *makeIconButton(int index);
    void showOnButton(QToolButton *button, Face &face, const ZelHubApp &app,
                      const StatusInfo &info);
    void layOutGrid();
    StatusInfo infoFor(const ZelHubApp &app) const;
    void moveFocus(int from, int dx, int dy);

    QSize m_preferredContentSize;
    QList<QToolButton *> m_buttons;
    QList<Face> m_faces; // beside m_buttons
    QColor m_templateColor;
    QLabel *m_emptyLabel = nullptr;
    QWidget *m_content = nullptr;
};
