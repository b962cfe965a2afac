#pragma once
// A web server in the test's own process, on 127.0.0.1: it takes each request whole (headers
// and the body its Content-Length names), keeps it, and answers with the next status of its
// list (200 when the list is empty), or never answers while silent. One request per
// connection. Use it with the real clock: it runs on the test's event loop.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

class HttpTestServer : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray path;
        QByteArray contentType;
        QByteArray body;
    };

    HttpTestServer();
    bool listening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    // http://127.0.0.1:PORT<path>
    QString url(const QString &path = QStringLiteral("/hook")) const;

    QList<int> statuses;    // the answers, in turn; then 200
    bool silent = false;    // take requests and never answer
    QByteArray location;    // sent with a 3xx
    QList<Request> requests;

signals:
    void requested();

private:
    void onConnection();
    void onData(QTcpSocket *s);

    QTcpServer m_server;
};
