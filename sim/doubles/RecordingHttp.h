#pragma once
// The double of the HTTP service: records every POST and answers it when the test says,
// or at once from a script of statuses. Nothing is sent.
#include "platform/HttpPost.h"

#include <QList>

class RecordingHttp : public HttpService {
public:
    struct Post {
        int id = 0;
        QUrl url;
        QByteArray body;
        QByteArray contentType;
        int timeoutMs = 0;
        bool open = true;
        bool aborted = false;
        std::function<void(const HttpAnswer &)> done;
    };

    int post(const QUrl &url, const QByteArray &body, const QByteArray &contentType, int timeoutMs,
             std::function<void(const HttpAnswer &)> done) override;
    void abort(int id) override;

    // Answers POST id (its index in posts is id - 1) with a status, or with an error when
    // status is 0; false when it is not open.
    bool answer(int id, int status, const QString &error = {});
    // The POSTs not yet answered.
    int open() const;

    QList<Post> posts;
    // While not empty, each new POST is answered from the event loop with the first status
    // here (0: "connection refused"), which is then taken off.
    QList<int> script;
};
