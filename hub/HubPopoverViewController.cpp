#include "HubPopoverViewController.h"

#include <QBoxLayout>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QToolButton>

#include <utility>

namespace {

const QString placeholderName = QStringLiteral("app.dashed");

// The hub ships its placeholder as a theme icon of last resort, so that it always exists
// and a sibling may name it as its status symbol like any other. Without a theme (a bare
// session) Qt looks nowhere, so the freedesktop base theme is the one then.
void shipPlaceholder()
{
    static const bool shipped = [] {
        if (QIcon::themeName().isEmpty())
            QIcon::setThemeName(QStringLiteral("hicolor"));
        QIcon::setFallbackSearchPaths(QIcon::fallbackSearchPaths() << QStringLiteral(":/icons"));
        return true;
    }();
    Q_UNUSED(shipped);
}

} // namespace

HubPopoverViewController::HubPopoverViewController(QWidget *parent) : QWidget(parent)
{
    shipPlaceholder();
    resize(180, 44);
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    m_content = new QWidget(this);
    // Flat buttons: no frame or padding, so the image fills the 18-pixel button; the
    // keyboard focus and the hover still show, as a tint. Set once here: a style sheet
    // of each button's own would be parsed for every one of them.
    m_content->setStyleSheet(QStringLiteral(
        "QToolButton { border: none; padding: 0px; margin: 0px; }"
        "QToolButton:hover { background: palette(midlight); border-radius: 3px; }"
        "QToolButton:focus { background: palette(highlight); border-radius: 3px; }"));
    root->addWidget(m_content);
}

std::optional<QIcon> HubPopoverViewController::placeholderIcon()
{
    shipPlaceholder();
    if (!QIcon::hasThemeIcon(placeholderName))
        return std::nullopt;
    return QIcon::fromTheme(placeholderName);
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

QIcon HubPopoverViewController::templateIcon(const QIcon &mask, const QColor &color)
{
    QIcon result;
    for (const int side : {18, 36}) {
        QPixmap pixmap = mask.pixmap(QSize(side, side));
        if (pixmap.isNull())
            continue;
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), color);
        painter.end();
        result.addPixmap(pixmap);
    }
    return result.isNull() ? mask : result;
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
    // the grid under the user's fingers: every app keeps its button, with its hover, its
    // tool tip and the keyboard focus, and only what it shows anew is replaced.
    const QList<QToolButton *> before = m_buttons;
    QToolButton *focused = qobject_cast<QToolButton *>(focusWidget());
    const int focusedIndex = int(before.indexOf(focused));
    const QColor templateColor = palette().color(QPalette::WindowText);
    if (templateColor != m_templateColor) {
        m_templateColor = templateColor;
        for (Face &face : m_faces)
            face.imageKey.reset();
    }

    QHash<QString, qsizetype> previous;
    for (qsizetype i = 0; i < m_faces.size(); ++i)
        previous.insert(m_faces.at(i).id, i);
    QList<QToolButton *> buttons;
    QList<Face> faces;
    buttons.reserve(apps.size());
    faces.reserve(apps.size());
    for (int i = 0; i < apps.size(); ++i) {
        const ZelHubApp &app = apps.at(i);
        const auto kept = previous.constFind(app.id);
        QToolButton *button = nullptr;
        Face face;
        if (kept != previous.constEnd() && m_buttons.at(*kept)) {
            button = std::exchange(m_buttons[*kept], nullptr);
            face = std::move(m_faces[*kept]);
        } else {
            button = makeIconButton(i);
            face.id = app.id;
        }
        showOnButton(button, face, app, infoFor(app));
        button->setProperty("tag", i);
        buttons.append(button);
        faces.append(std::move(face));
    }
    qDeleteAll(m_buttons); // those whose app is gone; the kept ones were taken out
    const bool moved = buttons != before;
    m_buttons = std::move(buttons);
    m_faces = std::move(faces);
    if (moved || !m_content->layout() || (m_emptyLabel != nullptr) != apps.isEmpty())
        layOutGrid();

    if (focused && !m_buttons.contains(focused) && focusedIndex >= 0 && !m_buttons.isEmpty())
        m_buttons.at(std::min(focusedIndex, int(m_buttons.size()) - 1))
            ->setFocus(Qt::OtherFocusReason);
    if (apps.isEmpty()) {
        m_preferredContentSize = QSize(200, int(emptyHeight));
        return;
    }
    QLayout *outer = m_content->layout();
    outer->activate();
    // The fitting size of the grid alone, as the margins are the padding.
    const QSize grid = outer->sizeHint().shrunkBy(outer->contentsMargins());
    m_preferredContentSize = grid + QSize(2 * int(padding), 2 * int(padding));
}

void HubPopoverViewController::layOutGrid()
{
    // Layouts own no widgets: deleting them leaves every kept button as it is.
    delete m_content->layout();
    delete m_emptyLabel;
    m_emptyLabel = nullptr;

    if (apps.isEmpty()) {
        auto *box = new QVBoxLayout(m_content);
        box->setContentsMargins(0, 0, 0, 0);
        m_emptyLabel = new QLabel(QStringLiteral("No Zel apps running"), m_content);
        m_emptyLabel->setAlignment(Qt::AlignCenter);
        QPalette palette = m_emptyLabel->palette();
        palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
        m_emptyLabel->setPalette(palette);
        box->addWidget(m_emptyLabel, 0, Qt::AlignCenter);
        m_emptyLabel->show();
        return;
    }

    const int n = int(m_buttons.size());
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
        for (int i = r * cols; i < std::min(r * cols + cols, n); ++i)
            row->addWidget(m_buttons.at(i), 0, Qt::AlignVCenter);
        outer->addLayout(row);
        // Rows sit on the leading edge; the last may be shorter.
        outer->setAlignment(row, Qt::AlignLeft);
    }
    // Shown now rather than by the layout later, so that a button can take the focus
    // (and show it) at once.
    for (QToolButton *button : std::as_const(m_buttons))
        button->show();
}

QToolButton *HubPopoverViewController::makeIconButton(int index)
{
    auto *button = new QToolButton(m_content);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::StrongFocus);
    button->setIconSize(QSize(int(iconSize), int(iconSize)));
    button->setFixedHeight(int(iconSize));
    button->setProperty("tag", index);
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->installEventFilter(this);
    connect(button, &QToolButton::clicked, this,
            [this, button] { iconClicked(button->property("tag").toInt()); });
    return button;
}

void HubPopoverViewController::showOnButton(QToolButton *button, Face &face, const ZelHubApp &app,
                                            const StatusInfo &info)
{
    const auto &[image, title] = info;
    const qint64 imageKey = image ? image->cacheKey() : 0;
    if (face.imageKey != imageKey) {
        // Status and symbol images are templates, drawn in the text colour like the hub's
        // own glyph; the placeholder and an application's own icon as they are.
        if (image)
            button->setIcon(image->isMask() ? templateIcon(*image, m_templateColor) : *image);
        else if (const auto placeholder = placeholderIcon())
            button->setIcon(*placeholder);
        else
            button->setIcon(QIcon());
        face.imageKey = imageKey;
    }

    const QString trimmed = trimmedTitle(title);
    if (trimmed != face.title) {
        if (!trimmed.isEmpty()) {
            button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
            button->setText(u' ' + trimmed);
            QFont font = button->font();
            font.setPixelSize(11);
            button->setFont(font);
            button->setMinimumWidth(0);
            button->setMaximumWidth(QWIDGETSIZE_MAX);
        } else {
            button->setToolButtonStyle(Qt::ToolButtonIconOnly);
            button->setText(QString());
            button->setFont(QFont());
            button->setFixedWidth(int(iconSize));
        }
        face.title = trimmed;
    }
    if (button->toolTip() != app.name) {
        button->setToolTip(app.name);
        button->setAccessibleName(app.name);
    }
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
