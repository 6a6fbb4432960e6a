#include "ZelUpdater.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QIcon>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTimer>

#include <optional>

namespace {

constexpr int requestTimeoutMs = 5000;

using Manifest = ZelUpdater::Manifest;

// One manager for the whole process, owned by the application so that it goes away
// before Qt's own teardown.
QNetworkAccessManager *sharedNetwork()
{
    static QPointer<QNetworkAccessManager> manager;
    if (!manager && QCoreApplication::instance())
        manager = new QNetworkAccessManager(QCoreApplication::instance());
    return manager;
}

// The manifest is remote input: only web addresses are handed to the desktop, never a
// file, a custom scheme or anything else a handler might execute.
std::optional<QUrl> downloadAddress(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    if (url.scheme() != u"http" && url.scheme() != u"https")
        return std::nullopt;
    return url;
}

std::optional<Manifest> parseManifest(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue version = object.value(QLatin1String("version"));
    const QJsonValue url = object.value(QLatin1String("url"));
    if (!version.isString() || !url.isString())
        return std::nullopt;
    const std::optional<QUrl> download = downloadAddress(url.toString());
    if (!download)
        return std::nullopt;
    const QJsonValue notes = object.value(QLatin1String("notes"));
    return Manifest{version.toString(), *download, notes.isString() ? notes.toString() : QString()};
}

// An HTTP error status still carries a body, and the status is not ours to judge; only a
// failure to get a complete reply ends the check.
bool isTransportFailure(QNetworkReply *reply)
{
    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::NoError)
        return false;
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return true;
    const int code = int(error);
    const bool statusError =
        (code >= QNetworkReply::ContentAccessDenied &&
         code <= QNetworkReply::UnknownContentError) ||
        code == QNetworkReply::ProtocolInvalidOperationError ||
        (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError);
    return !statusError;
}

QIcon applicationImage()
{
    for (const char *name : {":/AppIcon", ":/AppIcon.png", ":/AppIcon.svg"}) {
        if (QFile::exists(QLatin1String(name)))
            return QIcon(QLatin1String(name));
    }
    return QApplication::windowIcon();
}

void prepare(QMessageBox &box, const QString &title, const QString &text,
             const QString &informative)
{
    box.setWindowTitle(title);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setInformativeText(informative);
    // Release notes come from the network: show them as the text they are, never as
    // markup with links that open themselves.
    if (auto *label = box.findChild<QLabel *>(QLatin1String("qt_msgbox_informativelabel"))) {
        label->setTextFormat(Qt::PlainText);
        label->setOpenExternalLinks(false);
    }
    const QIcon icon = applicationImage();
    if (icon.isNull()) {
        box.setIcon(QMessageBox::Information);
    } else {
        const int size = box.style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, &box);
        box.setIconPixmap(icon.pixmap(QSize(size, size), box.devicePixelRatio()));
    }
}

// The user asked (or an update waits): bring the dialog in front of whatever has focus.
void runActivated(QMessageBox &box)
{
    QTimer::singleShot(0, &box, [&box] {
        box.raise();
        box.activateWindow();
    });
    box.exec();
}

bool canShowDialogs()
{
    return qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr;
}

} // namespace

ZelUpdater::ZelUpdater(const ZelAppConfig &config) : m_config(config)
{}

std::shared_ptr<ZelUpdater> ZelUpdater::create(const ZelAppConfig &config)
{
    return std::shared_ptr<ZelUpdater>(new ZelUpdater(config));
}

QString ZelUpdater::runningVersion()
{
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral("1.0") : version;
}

void ZelUpdater::checkForUpdates(bool silent)
{
    QNetworkAccessManager *network = sharedNetwork();
    if (!network)
        return;

    QNetworkRequest request(m_config.versionURL());
    request.setTransferTimeout(requestTimeoutMs);
    QNetworkReply *reply = network->get(request);
    // Without a bound Qt's network thread takes in whatever a fast sender pushes, and an
    // endless reply would keep it too busy to see our abort.
    reply->setReadBufferSize(maxManifestBytes + 1);

    struct Received
    {
        QByteArray body;
        bool tooLarge = false;
    };
    auto received = std::make_shared<Received>();
    auto stopAsTooLarge = [reply, received] {
        received->tooLarge = true;
        if (reply->isRunning())
            reply->abort();
    };
    auto readBounded = [reply, received, stopAsTooLarge] {
        if (received->tooLarge || !reply->isOpen())
            return;
        received->body.append(reply->read(maxManifestBytes + 1 - received->body.size()));
        if (received->body.size() > maxManifestBytes)
            stopAsTooLarge();
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, readBounded);
    // A declared length over the bound ends the check before the body is sent.
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, stopAsTooLarge] {
        bool known = false;
        const qint64 length =
            reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && length > maxManifestBytes)
            stopAsTooLarge();
    });
    // The handler holds the updater until the check has run its course.
    QObject::connect(reply, &QNetworkReply::finished, reply,
                     [self = shared_from_this(), reply, received, silent, readBounded] {
                         reply->deleteLater();
                         readBounded();
                         if (received->tooLarge || isTransportFailure(reply))
                             return;
                         if (const std::optional<Manifest> manifest = parseManifest(received->body))
                             self->report(*manifest, silent);
                     });
}

void ZelUpdater::report(const Manifest &manifest, bool silent)
{
    const QString running = runningVersion();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self = shared_from_this(), manifest, running, silent] {
            if (compareVersions(manifest.version, running) > 0)
                self->showUpdateAvailable(manifest.version, manifest.notes, manifest.download);
            else if (!silent)
                self->showUpToDate();
        },
        Qt::QueuedConnection);
}

void ZelUpdater::showUpdateAvailable(const QString &version, const QString &notes,
                                     const QUrl &download) const
{
    if (!canShowDialogs())
        return;
    QString informative = QLatin1String("Version ") + version + QLatin1String(" is available.");
    if (!notes.isEmpty())
        informative += QLatin1String("\n\nRelease notes: ") + notes;

    QMessageBox box;
    prepare(box, m_config.name, m_config.name + QLatin1String(" update available"), informative);
    QPushButton *downloadButton =
        box.addButton(QStringLiteral("Download Update"), QMessageBox::AcceptRole);
    QPushButton *laterButton = box.addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    box.setDefaultButton(downloadButton);
    box.setEscapeButton(laterButton);
    runActivated(box);
    if (box.clickedButton() == downloadButton)
        QDesktopServices::openUrl(download);
}

void ZelUpdater::showUpToDate() const
{
    if (!canShowDialogs())
        return;
    QMessageBox box;
    prepare(box, m_config.name, m_config.name + QLatin1String(" is up to date"),
            QStringLiteral("You're running the latest version."));
    QPushButton *ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    runActivated(box);
}

int ZelUpdater::compareVersions(const QString &a, const QString &b)
{
    const auto isDigit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    const qsizetype na = a.size();
    const qsizetype nb = b.size();
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < na && j < nb) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Whole numbers of any length: strip leading zeros, then the longer run is the
            // larger number and equal lengths compare digit by digit.
            qsizetype aEnd = i;
            while (aEnd < na && isDigit(a[aEnd]))
                ++aEnd;
            qsizetype bEnd = j;
            while (bEnd < nb && isDigit(b[bEnd]))
                ++bEnd;
            while (i < aEnd && a[i] == u'0')
                ++i;
            while (j < bEnd && b[j] == u'0')
                ++j;
            if (aEnd - i != bEnd - j)
                return aEnd - i < bEnd - j ? -1 : 1;
            for (; i < aEnd; ++i, ++j) {
                if (a[i] != b[j])
                    return a[i] < b[j] ? -1 : 1;
            }
            j = bEnd;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j] ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < na)
        return 1;
    if (j < nb)
        return -1;
    return 0;
}
