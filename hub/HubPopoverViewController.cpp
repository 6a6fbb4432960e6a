#include "HubPopoverViewController.h"

#include <QBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QToolButton>

HubPopoverViewController::HubPopoverViewController(QWidget *parent) : QWidget(parent)
{
    resize(180, 44);
    // The content lives in a child rebuilt at each reload, so that nothing of one build
    // (buttons, layouts) survives into the next.
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
}

std::optional<QIcon> HubPopoverViewController::placeholderIcon()
{
    const QString name = QStringLiteral("app.dashed");
    if (QIcon::hasThemeIcon(name))
        return QIcon::fromTheme(name);
    // The hub ships its own, for themes without one.
    QIcon shipped(QStringLiteral(":/icons/app.dashed.png"));
    if (shipped.availableSizes().isEmpty())
        return std::nullopt;
    return shipped;
}

QString HubPopoverViewController::trimmedTitle(const std::optional<QString> &title)
{
    if (!title)
        return {};
    // Spaces and tabs only: a line break inside or around a title is the sibling's own.
    const auto isBlank = [](QChar c) {
        return c == u'\t' || c.category() == QChar::Separator_Space;
    };
    qsizetype begin = 0, end = title->size();
    while (begin < end && isBlank(title->at(begin)))
        ++begin;
    while (end > begin && isBlank(title->at(end - 1)))
        --end;
    return title->mid(begin, end - begin);
}

HubPopoverViewController::StatusInfo HubPopoverViewController::infoFor(const ZelHubApp &app) const
{
    if (auto provider = statusProvider)
        return provider(app);
    return {};
}

void HubPopoverViewController::reload()
{
    // Siblings answer the "discover" of every opening at once, and each answer rebuilds
    // the grid under the user's fingers: the keyboard stays on the icon it was on.
    const int focused = int(m_buttons.indexOf(qobject_cast<QToolButton *>(focusWidget())));
    delete m_content;
    m_content = new QWidget(this);
    m_buttons.clear();
    m_emptyLabel = nullptr;
    layout()->addWidget(m_content);

    if (apps.isEmpty()) {
        auto *box = new QVBoxLayout(m_content);
        box->setContentsMargins(0, 0, 0, 0);
        m_emptyLabel = new QLabel(QStringLiteral("No Zel apps running"), m_content);
        m_emptyLabel->setAlignment(Qt::AlignCenter);
        QPalette palette = m_emptyLabel->palette();
        palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
        m_emptyLabel->setPalette(palette);
        box->addWidget(m_emptyLabel, 0, Qt::AlignCenter);
        m_preferredContentSize = QSize(200, int(emptyHeight));
        return;
    }

    const int n = int(apps.size());
    const int rows = (n + cols - 1) / cols;
    auto *outer = new QVBoxLayout(m_content);
    const int margin = int(padding);
    outer->setContentsMargins(margin, margin, margin, margin);
    outer->setSpacing(int(iconSpacing));
    outer->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    for (int r = 0; r < rows; ++r) {
        auto *row = new QHBoxLayout;
        row->setSpacing(int(iconSpacing));
        row->setContentsMargins(0, 0, 0, 0);
        for (int i = r * cols; i < std::min(r * cols + cols, n); ++i) {
            const bool titled = !trimmedTitle(infoFor(apps.at(i)).second).isEmpty();
            QToolButton *button = makeIconButton(apps.at(i), i);
            button->setFixedHeight(int(iconSize));
            if (!titled)
                button->setFixedWidth(int(iconSize));
            row->addWidget(button, 0, Qt::AlignVCenter);
        }
        outer->addLayout(row);
        // Rows sit on the leading edge; the last may be shorter.
        outer->setAlignment(row, Qt::AlignLeft);
    }
    // Shown now rather than by the layout later, so that a button can take the focus
    // (and show it) at once.
    m_content->show();
    if (focused >= 0)
        m_buttons.at(std::min(focused, n - 1))->setFocus(Qt::OtherFocusReason);
    outer->activate();
    // The fitting size of the grid alone, as the margins are the padding.
    const QSize grid = outer->sizeHint().shrunkBy(outer->contentsMargins());
    m_preferredContentSize = grid + QSize(2 * margin, 2 * margin);
}

QToolButton *HubPopoverViewController::makeIconButton(const ZelHubApp &app, int index)
{
    const auto [image, title] = infoFor(app);
    auto *button = new QToolButton(m_content);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::StrongFocus);
    button->setIconSize(QSize(int(iconSize), int(iconSize)));
    // Flat: no frame or padding, so the image fills the 18-pixel button; the keyboard
    // focus and the hover still show, as a tint.
    button->setStyleSheet(QStringLiteral(
        "QToolButton { border: none; padding: 0px; margin: 0px; }"
        "QToolButton:hover { background: palette(midlight); border-radius: 3px; }"
        "QToolButton:focus { background: palette(highlight); border-radius: 3px; }"));
    if (image)
        button->setIcon(*image);
    else if (const auto placeholder = placeholderIcon())
        button->setIcon(*placeholder);

    const QString trimmed = trimmedTitle(title);
    if (!trimmed.isEmpty()) {
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        button->setText(u' ' + trimmed);
        QFont font = button->font();
        font.setPixelSize(11);
        button->setFont(font);
    } else {
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
        button->setText(QString());
    }
    button->setToolTip(app.name);
    button->setAccessibleName(app.name);
    button->setProperty("tag", index);
    button->installEventFilter(this);
    connect(button, &QToolButton::clicked, this,
            [this, button] { iconClicked(button->property("tag").toInt()); });
    m_buttons.append(button);
    return button;
}

void HubPopoverViewController::iconClicked(int tag)
{
    if (tag < 0 || tag >= apps.size())
        return;
    if (auto select = onSelect)
        select(apps.at(tag));
}

void HubPopoverViewController::focusFirstButton()
{
    if (!m_buttons.isEmpty())
        m_buttons.first()->setFocus(Qt::PopupFocusReason);
}

void HubPopoverViewController::moveFocus(int from, int dx, int dy)
{
    const int n = int(m_buttons.size());
    int row = from / cols, column = from % cols;
    const int rows = (n + cols - 1) / cols;
    if (dx != 0) {
        // Left and right run through the grid in reading order.
        const int target = from + dx;
        if (target >= 0 && target < n)
            m_buttons.at(target)->setFocus(Qt::TabFocusReason);
        return;
    }
    row += dy;
    if (row < 0 || row >= rows)
        return;
    // The last row may be shorter: land on its last button.
    column = std::min(column, n - 1 - row * cols);
    m_buttons.at(row * cols + column)->setFocus(Qt::TabFocusReason);
}

bool HubPopoverViewController::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const int index = int(m_buttons.indexOf(static_cast<QToolButton *>(watched)));
    if (index < 0)
        return QWidget::eventFilter(watched, event);
    switch (static_cast<QKeyEvent *>(event)->key()) {
    case Qt::Key_Left:
        moveFocus(index, -1, 0);
        return true;
    case Qt::Key_Right:
        moveFocus(index, 1, 0);
        return true;
    case Qt::Key_Up:
        moveFocus(index, 0, -1);
        return true;
    case Qt::Key_Down:
        moveFocus(index, 0, 1);
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        m_buttons.at(index)->animateClick();
        return true;
    default:
        return QWidget::eventFilter(watched, event);
    }
}
