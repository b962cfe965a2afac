#include "doubles/RecordingHttp.h"

#include <QCoreApplication>

int RecordingHttp::post(const QUrl &url, const QByteArray &body, const QByteArray &contentType, int timeoutMs,
                        std::function<void(const HttpAnswer &)> done)
{
    Post p;
    p.id = int(posts.size()) + 1;
    p.url = url;
    p.body = body;
    p.contentType = contentType;
    p.timeoutMs = timeoutMs;
    p.done = std::move(done);
    posts << p;
    if (!script.isEmpty()) {
        const int status = script.takeFirst();
        const int id = p.id;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [this, id, status] { answer(id, status, status == 0 ? QStringLiteral("connection refused") : QString()); },
            Qt::QueuedConnection);
    }
    return p.id;
}

void RecordingHttp::abort(int id)
{
    if (id < 1 || id > posts.size())
        return;
    posts[id - 1].open = false;
    posts[id - 1].aborted = true;
}

bool RecordingHttp::answer(int id, int status, const QString &error)
{
    if (id < 1 || id > posts.size() || !posts[id - 1].open)
        return false;
    Post &p = posts[id - 1];
    p.open = false;
    HttpAnswer a;
    a.status = status;
    a.error = status == 0 && error.isEmpty() ? QStringLiteral("no connection") : error;
    const auto done = p.done;
    if (done)
        done(a);
    return true;
}

int RecordingHttp::open() const
{
    int n = 0;
    for (const Post &p : posts)
        n += p.open;
    return n;
}
