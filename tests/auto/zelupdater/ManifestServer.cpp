#include "ManifestServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

namespace {
void writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(data);
}
} // namespace

ManifestServer::ManifestServer() = default;

ManifestServer::~ManifestServer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool ManifestServer::start()
{
    const QString script = qEnvironmentVariable("ZEL_SOURCE_DIR") +
                           QLatin1String("/tests/auto/zelupdater/manifest_server.py");
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("python3"), {script, m_root.path()});
    if (!m_process.waitForStarted(10000))
        return false;
    const QDeadlineTimer deadline(15000);
    while (m_port == 0 && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
        events();
        for (const QString &line : std::as_const(m_events)) {
            if (line.startsWith(QLatin1String("port ")))
                m_port = line.mid(5).toInt();
        }
        if (m_port == 0)
            m_process.waitForReadyRead(200);
    }
    return m_port != 0;
}

QString ManifestServer::baseURL() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

void ManifestServer::serve(const QString &id, const QByteArray &body, int status,
                           const QByteArray &type)
{
    const QString folder = m_root.filePath(id);
    QDir().mkpath(folder);
    writeFile(folder + QLatin1String("/body"), body);
    writeFile(folder + QLatin1String("/status"), QByteArray::number(status));
    writeFile(folder + QLatin1String("/type"), type);
}

void ManifestServer::hang(const QString &id)
{
    serve(id, QByteArray());
    writeFile(m_root.filePath(id) + QLatin1String("/hang"), QByteArray());
}

void ManifestServer::endless(const QString &id, const QByteArray &prefix)
{
    serve(id, prefix);
    writeFile(m_root.filePath(id) + QLatin1String("/endless"), QByteArray());
}

QStringList ManifestServer::events()
{
    m_pending += m_process.readAllStandardOutput();
    qsizetype newline;
    while ((newline = m_pending.indexOf('\n')) >= 0) {
        m_events.append(QString::fromUtf8(m_pending.left(newline)));
        m_pending.remove(0, newline + 1);
    }
    return m_events;
}

int ManifestServer::requestCount(const QString &id)
{
    return int(events().count(QLatin1String("request /") + id + QLatin1String("/version.json")));
}
