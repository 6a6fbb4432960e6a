#pragma once

#include <QProcess>
#include <QStringList>

// A child process whose output is read line by line; a cursor per stream lets a test
// wait for "the next line like this" without fixed sleeps. Killed when destroyed.
class ChildProcess
{
public:
    // A program path relative to the build directory ($ZEL_BUILD_DIR), or absolute.
    ChildProcess(const QString &program, const QStringList &args);
    ~ChildProcess();

    static QString buildPath(const QString &relative);

    void setEnvironment(const QProcessEnvironment &env) { m_process.setProcessEnvironment(env); }
    bool start();
    QProcess &process() { return m_process; }
    qint64 pid() const { return m_process.processId(); }

    // The next stdout (stderr) line after the cursor that starts with `head`; moves the
    // cursor past it. Empty when none came in time.
    QString waitForLine(const QString &head, int ms = 10000) { return waitIn(m_out, head, ms); }
    QString waitForErrLine(const QString &head, int ms = 10000) { return waitIn(m_err, head, ms); }
    // Every stdout (stderr) line so far, past the cursor or not.
    QStringList lines() { return read(m_out).lines; }
    QStringList errLines() { return read(m_err).lines; }
    // Forget what came so far: the next wait looks only at newer stdout lines.
    void skipToEnd() { m_out.cursor = read(m_out).lines.size(); }
    bool finish(int timeoutMs = 10000);

private:
    struct Stream
    {
        QByteArray buffer;
        QStringList lines;
        qsizetype cursor = 0;
    };
    // Takes in everything the child has written so far; returns `stream`.
    Stream &read(Stream &stream);
    QString waitIn(Stream &stream, const QString &prefix, int timeoutMs);

    QProcess m_process;
    Stream m_out, m_err;
};
