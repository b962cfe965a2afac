#pragma once
// HTTP(S) POSTs to a server outside (a notification's web hook). Each POST is bounded in
// time (an unanswered one ends with an error after its time-out) and in what it takes back
// (the answer's body is read and thrown away); no redirect is followed. Its end is told
// from the event loop. Production uses Qt Network (QNetworkAccessManager); tests install a
// double that records each POST and answers it as the test says.
#include <QByteArray>
#include <QString>
#include <QUrl>
#include <functional>

struct HttpAnswer {
    int status = 0;  // the HTTP status; 0 when none came
    QString error;   // why no answer came (no connection, time-out, TLS), in English
    bool ok() const { return error.isEmpty() && status >= 200 && status < 300; }
};

class HttpService {
public:
    virtual ~HttpService() = default;
    // POSTs body with its content type; done is called once, from the event loop, with the
    // answer or the error. Returns the POST's id (> 0) for abort().
    virtual int post(const QUrl &url, const QByteArray &body, const QByteArray &contentType, int timeoutMs,
                     std::function<void(const HttpAnswer &)> done) = 0;
    // Ends the POST without calling its done.
    virtual void abort(int id) = 0;
};

HttpService &httpService();
void installHttp(HttpService *h); // not owned; nullptr restores the real one
