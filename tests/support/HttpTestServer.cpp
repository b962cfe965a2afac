#include "support/HttpTestServer.h"

#include <QHostAddress>
#include <QTcpSocket>

HttpTestServer::HttpTestServer()
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, &HttpTestServer::onConnection);
}

QString HttpTestServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void HttpTestServer::onConnection()
{
    while (QTcpSocket *s = m_server.nextPendingConnection()) {
        s->setParent(this);
        connect(s, &QTcpSocket::readyRead, this, [this, s] { onData(s); });
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    }
}

void HttpTestServer::onData(QTcpSocket *s)
{
    QByteArray buf = s->property("buf").toByteArray() + s->readAll();
    s->setProperty("buf", buf);
    const qsizetype end = buf.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    Request r;
    const QList<QByteArray> lines = buf.left(end).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    r.method = first.value(0);
    r.path = first.value(1);
    qsizetype length = 0;
    for (const QByteArray &l : lines) {
        const QByteArray name = l.left(l.indexOf(':')).trimmed().toLower();
        const QByteArray value = l.mid(l.indexOf(':') + 1).trimmed();
        if (name == "content-length")
            length = value.toLongLong();
        if (name == "content-type")
            r.contentType = value;
    }
    if (buf.size() < end + 4 + length)
        return;
    r.body = buf.mid(end + 4, length);
    s->setProperty("buf", QByteArray());
    requests << r;
    emit requested();
    if (silent)
        return;
    const int status = statuses.isEmpty() ? 200 : statuses.takeFirst();
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\nContent-Length: 2\r\nConnection: close\r\n";
    if (status >= 300 && status < 400)
        answer += "Location: " + location + "\r\n";
    answer += "\r\nok";
    s->write(answer);
    s->disconnectFromHost();
}
