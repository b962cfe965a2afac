#pragma once
// The office view's side of history on request: a double-click on a site of a watcher asks
// that watcher for the site's last 24 hours (<prefix>/<site>/history/request, a correlation
// id of its own and a reply topic of this view's under <prefix>/history/, see HistoryServer),
// and the chunks of the answer go into the site's history series as they come, before the
// readings that arrived live, which it keeps following.
//
// Where the two meet: the request is made at a whole second T of the view's clock and asks
// for [T - 24 h, T - 1 ms]. The log's times are whole seconds, and a live reading carries the
// time the watcher took it in milliseconds, so the log's lines before T and the live readings
// taken from T on are the same readings of the watcher told apart by the same cut: the
// series becomes the answer's readings (those before T) followed by the live readings from T
// on, and none is held twice. While the chunks come, the live readings after the newest
// second answered so far are kept behind them too.
//
// An answer is input from outside: only the ids asked for, on the site asked for, are taken;
// a chunk seen already (a repeated delivery) is ignored; a fetch takes at most kMaxChunks
// chunks and kMaxReadings readings, at most kMaxFetches run at once (a new one ends the
// oldest), and a fetch that hears nothing for kQuietMs ends with what it has. A watcher that
// does not answer (an older one) leaves the series as it was: what arrived since the view
// opened.
#include "monitor/TrendSeries.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class WindowTimer;

// A reading of an answer: its time (ms since the epoch), in hundredths of its unit from
// kHundredthsZero, its outputs (bit 0 = ch1).
struct HistoryReading {
    qint64 ms = 0;
    quint16 value = 0;
    quint8 outputs = 0;
    quint8 flags = 0; // TrendSeries::NoValue, NoOutputs
};

// One reading of an answer's "readings" ({"time","value","unit","bits"}); false for one that
// is no such reading.
bool ParseHistoryReading(const QJsonValue &v, HistoryReading &out);

// series made the older readings (those before cutMs, in their order) followed by its own
// readings taken at cutMs or later, within the bounds of a site's history (SiteBoard).
// Its readings before cutMs are dropped: the older ones hold them.
void MergeSiteHistory(TrendSeries &series, const std::vector<HistoryReading> &older, qint64 cutMs);

class HistoryFetch : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kSpanMs = 24LL * 3600 * 1000;
    static constexpr int kMaxFetches = 4;
    // A day at a reading a second comes in 87 chunks of the watcher's 1000.
    static constexpr int kMaxChunks = 200;
    static constexpr qint64 kMaxReadings = 200000;
    // The largest answer taken: a chunk of 1000 readings with room.
    static constexpr int kMaxAnswerBytes = 192 * 1024;
    static constexpr qint64 kQuietMs = 10000;
    // The series is remade at most this often while the chunks come (and at the last one).
    static constexpr qint64 kMergeEveryMs = 500;

    // publish: the request to the broker (not retained); false when it cannot go.
    using Publish = std::function<bool(const QString &topic, const QByteArray &payload)>;
    // reply: this view's own topic under <prefix>/history/ (subscribed by the owner).
    HistoryFetch(const QString &prefix, const QString &reply, Publish publish, QObject *parent = nullptr);
    ~HistoryFetch() override;

    const QString &replyTopic() const { return m_reply; }
    // Asks for site's last day into series; shown: the site's name in the texts. False (and
    // told) when the request could not go out.
    bool ask(const QString &site, const QString &shown, std::shared_ptr<TrendSeries> series);
    // A message on the reply topic.
    void message(const QString &topic, const QByteArray &payload, bool retained);
    int running() const { return int(m_fetches.size()); }
    // Answers not taken: foreign ids or sites, repeated or late chunks, malformed or too large.
    quint64 ignored() const { return m_ignored; }

    // The text for the status line when a site's history cannot be asked for (polled here,
    // or no broker).
    static QString localText(const QString &shown);

signals:
    // What became of a request, in words for the status line.
    void told(const QString &text);
    // The series was remade (a trend window showing it redraws).
    void merged(const TrendSeries *series);

private:
    struct Fetch {
        QByteArray id;
        QString site, shown;
        std::weak_ptr<TrendSeries> series;
        qint64 cutMs = 0, fromMs = 0;
        std::vector<HistoryReading> older;
        qint64 olderMaxMs = 0;
        int nextSeq = 0;
        int chunks = 0;
        qint64 heardMs = 0, mergedMs = -1;
        bool dirty = false;
    };
    void merge(Fetch &f, bool complete = false);
    void finish(size_t index, const QString &text);
    void tick();

    QString m_prefix, m_reply;
    Publish m_publish;
    std::vector<Fetch> m_fetches;
    std::unique_ptr<WindowTimer> m_timer;
    quint64 m_nextId = 0;
    quint64 m_ignored = 0;
};
