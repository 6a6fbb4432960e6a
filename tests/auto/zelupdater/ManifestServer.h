#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A real HTTP server on 127.0.0.1 (manifest_server.py) with one folder of replies per
// application id.
class ManifestServer
{
public:
    ManifestServer();
    ~ManifestServer();

    // False when python3 or the script could not be started.
    bool start();
    QString baseURL() const;

    void serve(const QString &id, const QByteArray &body, int status = 200,
               const QByteArray &type = "application/json");
    void hang(const QString &id);
    void endless(const QString &id, const QByteArray &prefix);

    // Lines the server printed so far ("request /x/version.json", "closed x").
    QStringList events();
    int requestCount(const QString &id);

private:
    QTemporaryDir m_root;
    QProcess m_process;
    int m_port = 0;
    QStringList m_events;
    QByteArray m_pending;
};
