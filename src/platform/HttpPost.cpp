#include "platform/HttpPost.h"

#include "platform/Clock.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <map>
#include <memory>

namespace {
class QtHttp : public HttpService {
public:
    int post(const QUrl &url, const QByteArray &body, const QByteArray &contentType, int timeoutMs,
             std::function<void(const HttpAnswer &)> done) override
    {
        // The application owns the manager: it goes with the event loop it works on.
        if (!m_nam)
            m_nam = new QNetworkAccessManager(QCoreApplication::instance());
        const int id = ++m_nextId;
        QNetworkRequest req(url);
        req.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
        req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        req.setTransferTimeout(timeoutMs);
        QNetworkReply *reply = m_nam->post(req, body);
        // The answer's body is not wanted: read as it comes, so none of it piles up.
        reply->setReadBufferSize(16 * 1024);
        Post &p = m_posts[id];
        p.reply = reply;
        p.done = std::move(done);
        p.bound = std::make_unique<WindowTimer>();
        p.bound->setInterval(qMax(1, timeoutMs));
        p.bound->onTick = [this, id] {
            const auto it = m_posts.find(id);
            if (it == m_posts.end())
                return;
            it->second.bound->setEnabled(false);
            it->second.timedOut = true;
            // Aborted from the event loop: its end takes the POST and this timer with it.
            if (QNetworkReply *r = it->second.reply)
                QMetaObject::invokeMethod(r, &QNetworkReply::abort, Qt::QueuedConnection);
        };
        p.bound->setEnabled(true);
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] { reply->skip(reply->bytesAvailable()); });
        QObject::connect(reply, &QNetworkReply::finished, reply, [this, id, timeoutMs] {
            const auto it = m_posts.find(id);
            if (it == m_posts.end())
                return;
            Post p = std::move(it->second);
            m_posts.erase(it);
            p.bound->setEnabled(false);
            HttpAnswer a;
            if (p.reply) {
                a.status = p.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                const QNetworkReply::NetworkError e = p.reply->error();
                // A status of its own (404, 500) is the answer; an error without one is not.
                if (p.timedOut || e == QNetworkReply::OperationCanceledError)
                    a.error = QStringLiteral("no answer within %1 s").arg(qMax(1, timeoutMs / 1000));
                else if (e != QNetworkReply::NoError && a.status == 0)
                    a.error = p.reply->errorString();
                p.reply->deleteLater();
            }
            if (p.done)
                p.done(a);
        });
        return id;
    }

    void abort(int id) override
    {
        const auto it = m_posts.find(id);
        if (it == m_posts.end())
            return;
        Post p = std::move(it->second);
        m_posts.erase(it);
        p.bound->setEnabled(false);
        if (p.reply) {
            p.reply->disconnect();
            p.reply->abort();
            p.reply->deleteLater();
        }
    }

private:
    struct Post {
        QPointer<QNetworkReply> reply;
        std::function<void(const HttpAnswer &)> done;
        std::unique_ptr<WindowTimer> bound;
        bool timedOut = false;
    };
    int m_nextId = 0;
    std::map<int, Post> m_posts;
    QPointer<QNetworkAccessManager> m_nam;
};

HttpService *g_http = nullptr;
} // namespace

HttpService &httpService()
{
    static QtHttp real;
    return g_http ? *g_http : real;
}

void installHttp(HttpService *h) { g_http = h; }
