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
    m_process.kill();
    m_process.waitForFinished(5000);
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

bool ChildProcess::finish(int timeoutMs)
{
    // waitForFinished() is false for a process that has already ended, which a wait for
    // one of its lines may have seen.
    const bool done =
        m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
    read(m_out);
    return done;
}

ChildProcess::Stream &ChildProcess::read(Stream &stream)
{
    for (auto [s, more] : {std::pair{&m_out, m_process.readAllStandardOutput()},
                           std::pair{&m_err, m_process.readAllStandardError()}}) {
        s->buffer += more;
        for (qsizetype nl; (nl = s->buffer.indexOf('\n')) >= 0; s->buffer.remove(0, nl + 1))
            s->lines << QString::fromUtf8(s->buffer.left(nl));
    }
    return stream;
}

QString ChildProcess::waitIn(Stream &stream, const QString &prefix, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    do {
        for (qsizetype i = stream.cursor; i < read(stream).lines.size(); ++i)
            if (stream.lines.at(i).startsWith(prefix)) {
                stream.cursor = i + 1;
                return stream.lines.at(i);
            }
        QCoreApplication::processEvents();
        m_process.waitForReadyRead(20);
    } while (!deadline.hasExpired());
    return {};
}
