#include "SniTestHost.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

SniTestHost::~SniTestHost()
{
    if (isRunning()) {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
}

bool SniTestHost::start(const QStringList &options)
{
    const QString script =
        qEnvironmentVariable("ZEL_SOURCE_DIR") + "/tests/shared/sni_test_host.py";
    m_lines.clear();
    m_buffer.clear();
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
#ifdef ZEL_DBUS_PYTHON
    const QString python = QStringLiteral(ZEL_DBUS_PYTHON);
#else
    const QString python = QStringLiteral("python3");
#endif
    m_process.start(python, QStringList{"-u", script} + options);
    if (!m_process.waitForStarted(10000))
        return false;
    return take("ready").has_value();
}

void SniTestHost::send(const QString &command)
{
    m_process.write(command.toUtf8() + '\n');
}

void SniTestHost::read()
{
    m_buffer += m_process.readAllStandardOutput();
    qsizetype end;
    while ((end = m_buffer.indexOf('\n')) >= 0) {
        m_lines << QString::fromUtf8(m_buffer.left(end));
        m_buffer.remove(0, end + 1);
    }
}

bool SniTestHost::has(const QString &prefix)
{
    read();
    for (const QString &line : std::as_const(m_lines))
        if (line.startsWith(prefix))
            return true;
    return false;
}

std::optional<QString> SniTestHost::take(const QString &prefix, int timeoutMs)
{
    std::optional<QString> found;
    waitUntil(
        [&] {
            read();
            for (qsizetype i = 0; i < m_lines.size(); ++i) {
                if (m_lines.at(i).startsWith(prefix)) {
                    found = m_lines.takeAt(i);
                    return true;
                }
            }
            return !isRunning() && m_process.bytesAvailable() == 0;
        },
        timeoutMs);
    return found;
}

void SniTestHost::quit()
{
    send("quit");
    waitUntil([this] { return !isRunning(); });
}

void SniTestHost::kill()
{
    m_process.kill();
    waitUntil([this] { return !isRunning(); });
}

QString SniTestHost::errors()
{
    return QString::fromUtf8(m_process.readAllStandardError());
}

void SniTestHost::spin()
{
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
}
