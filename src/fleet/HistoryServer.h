#pragma once
// A site's readings between two times, from the watcher's CSV files, on request:
//
//   request  <prefix>/<site>/history/request, not retained:
//            {"id":"v1-7","from":"2026-12-09T09:00:00+09:00","to":"2026-12-10T09:00:00+09:00",
//             "reply":"<prefix>/history/<someone>"}
//            (from and to are ISO 8601 times, or milliseconds since 1970-01-01 UTC)
//   answer   on reply, not retained, in chunks of at most kChunkReadings readings:
//            {"id","site","seq":0,"last":false,"readings":[{"time","value","unit","bits"}]}
//            the last with "last":true and "count" (every reading sent); or once
//            {"id","site","error":"..."} when the request cannot be served.
//
// The readings are the data lines of <log folder>/<site>/qlvYYYYMMDD.csv whose time lies in
// [from, to], in the files' order, as written ("value":"02.50","bits":"00011000"). The
// reply topic must lie under <prefix>/history/ (no other topic of the watcher's can be
// written through it). Everything is bounded: a request of more than kMaxRequestBytes, or
// that is no such object, is counted and changes nothing; a span of more than seven days, an
// unknown site, or more than kMaxJobs requests at once are answered with an error; requests
// past a rate (kBurst, then kPerSecond) are counted and not answered. A job reads at most
// kPieceBytes of a file per chunk and sends at most one chunk each kTickMs, the jobs in turn.
#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>

class WindowTimer;

class HistoryServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxRequestBytes = 1024;
    static constexpr int kMaxId = 64;
    static constexpr int kMaxReply = 200;
    static constexpr qint64 kMaxSpanMs = 7LL * 24 * 3600 * 1000;
    static constexpr int kMaxJobs = 4;
    static constexpr int kChunkReadings = 1000;
    static constexpr qint64 kPieceBytes = 128 * 1024;
    static constexpr int kTickMs = 50;
    static constexpr int kBurst = 20;
    static constexpr int kPerSecond = 2;

    struct Counts {
        quint64 served = 0;    // answered to the end
        quint64 refused = 0;   // answered with an error
        quint64 malformed = 0; // no request (not answered)
        quint64 oversized = 0;
        quint64 limited = 0;   // past the rate (not answered)
        quint64 retained = 0;
    };

    // publish: a message to the broker, not retained; false when it cannot go now (the chunk
    // is tried again at the next tick).
    using Publish = std::function<bool(const QString &topic, const QByteArray &payload)>;
    // known: whether a site is watched.
    HistoryServer(const QString &prefix, const QString &logFolder, std::function<bool(const QString &)> known,
                  Publish publish, QObject *parent = nullptr);
    ~HistoryServer() override;

    void setLogFolder(const QString &folder) { m_logFolder = folder; }
    void setPrefix(const QString &prefix) { m_prefix = prefix; }
    // The filter of the requests, and a message of it.
    QString requestFilter() const;
    void message(const QString &topic, const QByteArray &payload, bool retained);
    int jobs() const { return int(m_jobs.size()); }
    const Counts &counts() const { return m_counts; }

private:
    struct Job {
        QString site;
        QByteArray id;
        QString reply;
        QDateTime from, to;
        QStringList files;
        int file = 0;
        qint64 offset = 0;
        int seq = 0;
        qint64 count = 0;
        bool done = false;
    };
    void request(const QString &site, const QByteArray &payload);
    void refuse(const QString &site, const QByteArray &id, const QString &reply, const QString &why);
    bool step(Job &j);
    void tick();

    QString m_prefix;
    QString m_logFolder;
    std::function<bool(const QString &)> m_known;
    Publish m_publish;
    std::deque<Job> m_jobs;
    std::unique_ptr<WindowTimer> m_timer;
    double m_tokens = kBurst;
    qint64 m_tokensAtMs = 0;
    Counts m_counts;
};
