#pragma once
// Telling someone who is not at a console that an alarm was raised: a program run with the
// alarm in its environment (exec=), and an HTTP(S) POST of the alarm as JSON (webhook=).
//
// Neither ever holds up the caller: a notice is queued and goes out from the event loop.
// Programs run at most kMaxRunning at once, each killed past its time-out, its exit status
// told on the log; a POST that fails is tried again after 1, 2, 4 ... 60 s, up to the
// configured number of tries, one at a time in order. Each queue holds at most kMaxQueued
// notices; past that a notice is dropped, counted and told once per stretch.
#include "fleet/WatchConfig.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <map>
#include <memory>

class WindowTimer;
struct HttpAnswer;
struct ProgramEnd;

struct AlarmNotice {
    QString event;     // "raise", or "renotify" while it is still not acknowledged
    QString site;
    QString title;     // the site's title, or its name
    QString cause;     // "output1" ...
    QString causeText; // "出力1 ON" ...
    QString state;     // "UNACK", "RTNUN"
    QString time;      // when it was raised, ISO 8601
    QString value;     // what the site read, or why the condition holds
    QString watchd;    // the watcher's client id
    // {"event","site","title","cause","cause_text","state","time","value","watchd"}
    QByteArray json() const;
    // QELVO_EVENT, QELVO_SITE, QELVO_TITLE, QELVO_CAUSE, QELVO_CAUSE_TEXT, QELVO_STATE,
    // QELVO_TIME, QELVO_VALUE, QELVO_WATCHD and QELVO_JSON (the POST's body), as NAME=VALUE.
    QStringList environment() const;
};

class AlarmNotifier : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxRunning = 4;
    static constexpr int kMaxQueued = 100;
    static constexpr int kRetryMinMs = 1000;
    static constexpr int kRetryMaxMs = 60000;

    struct Counts {
        quint64 execDone = 0;    // ended with exit status 0
        quint64 execFailed = 0;  // another status, killed, or not started
        quint64 execDropped = 0; // the queue was full
        quint64 webhookSent = 0;
        quint64 webhookFailed = 0;  // given up after the tries
        quint64 webhookDropped = 0; // the queue was full
    };

    explicit AlarmNotifier(const WatchNotify &settings, QObject *parent = nullptr);
    ~AlarmNotifier() override;

    // New settings: the notices from now on follow them; those queued keep going.
    void setSettings(const WatchNotify &settings);
    const WatchNotify &settings() const { return m_settings; }
    bool any() const { return !m_settings.execProgram.isEmpty() || !m_settings.webhook.isEmpty(); }
    void notify(const AlarmNotice &notice);
    // Kills the programs still running and drops what waits (told on the log).
    void stop();

    const Counts &counts() const { return m_counts; }
    int execQueued() const { return int(m_execQueue.size()); }
    int execRunning() const { return int(m_running.size()); }
    int webhookQueued() const { return int(m_posts.size()); }

signals:
    void logLine(const QString &line);

private:
    struct Run {
        AlarmNotice notice;
        std::unique_ptr<WindowTimer> bound;
        qint64 startMs = 0;
    };
    struct Post {
        AlarmNotice notice;
        QByteArray body;
        int tries = 0;
    };

    void startRuns();
    void ran(int id, const ProgramEnd &end);
    void sendNext();
    void answered(const HttpAnswer &a);
    QString what(const AlarmNotice &n) const;

    WatchNotify m_settings;
    std::deque<AlarmNotice> m_execQueue;
    std::map<int, Run> m_running;
    std::deque<Post> m_posts;
    int m_postId = 0; // the POST on its way; 0: none
    int m_retryMs = kRetryMinMs;
    std::unique_ptr<WindowTimer> m_retryTimer;
    bool m_execFull = false, m_webhookFull = false;
    Counts m_counts;
    // Held by the callbacks of the services, which may answer after this object has gone.
    std::shared_ptr<AlarmNotifier *> m_self;
};
