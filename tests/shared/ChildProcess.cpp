#include "ChildProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>

ChildProcess::ChildProcess(const QString &program, const QStringList &args)
{
    m_process.setProgram(QDir::isAbsolutePath(program) ? program : buildPath(program));
    m_process.setArguments(args);
}

ChildProcess::~ChildProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString ChildProcess::buildPath(const QString &relative)
{
    return qEnvironmentVariable("ZEL_BUILD_DIR") + u'/' + relative;
}

bool ChildProcess::start()
{
    m_process.start();
    return m_process.waitForStarted(10000);
}

QString ChildProcess::waitForLine(const QString &prefix, int timeoutMs)
{
    return waitIn(m_out, m_outCursor, prefix, timeoutMs);
}

QString ChildProcess::waitForErrLine(const QString &prefix, int timeoutMs)
{
    return waitIn(m_err, m_errCursor, prefix, timeoutMs);
}

QStringList ChildProcess::lines()
{
    pump();
    return m_out;
}

QStringList ChildProcess::errLines()
{
    pump();
    return m_err;
}

void ChildProcess::skipToEnd()
{
    pump();
    m_outCursor = m_out.size();
}

bool ChildProcess::finish(int timeoutMs)
{
    // waitForFinished() is false for a process that has already ended, which a wait for
    // one of its lines may have seen.
    const bool done =
        m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
    pump();
    return done;
}

void ChildProcess::pump()
{
    auto take = [](QByteArray &buffer, QStringList &lines, const QByteArray &more) {
        buffer += more;
        qsizetype nl;
        while ((nl = buffer.indexOf('\n')) >= 0) {
            lines << QString::fromUtf8(buffer.left(nl));
            buffer.remove(0, nl + 1);
        }
    };
    take(m_outBuffer, m_out, m_process.readAllStandardOutput());
    take(m_errBuffer, m_err, m_process.readAllStandardError());
}

QString ChildProcess::waitIn(QStringList &lines, qsizetype &cursor, const QString &prefix,
                             int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    do {
        pump();
        for (qsizetype i = cursor; i < lines.size(); ++i) {
            if (lines.at(i).startsWith(prefix)) {
                cursor = i + 1;
                return lines.at(i);
            }
        }
        QCoreApplication::processEvents();
        m_process.waitForReadyRead(20);
    } while (!deadline.hasExpired());
    return {};
}
