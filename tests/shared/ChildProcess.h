#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
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

    // The next stdout (stderr) line after the cursor that starts with prefix; moves the
    // cursor past it. Empty when none came in time.
    QString waitForLine(const QString &prefix, int timeoutMs = 10000);
    QString waitForErrLine(const QString &prefix, int timeoutMs = 10000);
    // Every stdout line so far, past the cursor or not.
    QStringList lines();
    // Every stderr line so far.
    QStringList errLines();
    // Forget what came so far: the next wait looks only at newer lines.
    void skipToEnd();
    bool finish(int timeoutMs = 10000);

private:
    void pump();
    QString waitIn(QStringList &lines, qsizetype &cursor, const QString &prefix, int timeoutMs);

    QProcess m_process;
    QByteArray m_outBuffer, m_errBuffer;
    QStringList m_out, m_err;
    qsizetype m_outCursor = 0, m_errCursor = 0;
};
