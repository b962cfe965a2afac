#pragma once
// A site's line lent for maintenance: the watcher listens on the site's maintenance port
// and serves its line there as a serial device server does (Telnet COM port control,
// RFC 2217), so the tool and qelvo-cli reach the controller through the watcher
// (rfc2217://watch-host:7003 in ports/COMn) while every other site goes on being watched.
//
//   A client connects: the site's polls pause after the exchange in progress and its state
//   becomes maintenance with the client's address (SiteWatch::lendLine). The bytes pass both
//   ways untouched; the line stays 9600 8N1 without flow control whatever the client asks,
//   and the answers say so. When the client leaves, the polls resume at once.
//   One client at a time: another is told in a line of text that the line is in use, and
//   closed. A client whose address is not allowed is told so and closed.
//   A client that sends no data for the idle time is dropped.
//
// Everything from the client is bounded: its bytes are read only while fewer than
// kMaxToLine wait for the line (the rest waits in its socket and at the client), Telnet
// commands are read at most kMaxCommandBytes per kCommandWindowMs, and a client that leaves
// more than kMaxToClient bytes unread is dropped (it reads nothing: a half-open connection).
#include "fleet/WatchConfig.h"
#include "platform/NetListen.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <memory>

class Rfc2217Server;
class SiteWatch;
class WindowTimer;

class MaintenancePort : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxToLine = 1024;       // the client's data waiting for the line
    static constexpr qsizetype kLineChunk = 256;        // written to the port at a time
    static constexpr qsizetype kReadChunk = 4096;       // read from the client at a time
    static constexpr qsizetype kMaxToClient = 64 * 1024; // unread by the client: past it, dropped
    static constexpr qsizetype kMaxCommandBytes = 64 * 1024; // client bytes that carry no data ...
    static constexpr int kCommandWindowMs = 1000;            // ... in this window
    static constexpr int kRetryListenMs = 10000;             // a port that could not listen tries again

    struct Counts {
        int clients = 0;        // clients that held the line
        int refused = 0;        // turned away: the line was in use
        int notAllowed = 0;     // turned away: their address is not allowed
        int idleDrops = 0;      // dropped after the idle time
        int flowDrops = 0;      // dropped: they read nothing
        int settingsDeclined = 0; // line settings asked that the line keeps its own against
    };

    MaintenancePort(SiteWatch &site, const WatchMaintenance &rules, QObject *parent = nullptr);
    ~MaintenancePort() override;

    // Listens on the site's maintenance host and port; false with a reason (it tries again
    // every kRetryListenMs).
    bool start(QString *error);
    // The client (if any) is closed and the line given back; it stops listening.
    void stop();
    // New idle time and allowed addresses (a reload); a client already there stays.
    void setRules(const WatchMaintenance &rules);

    bool listening() const;
    // The client holding (or waiting for) the line: "127.0.0.1:50312"; empty while none.
    QString client() const;
    const Counts &counts() const { return m_counts; }

signals:
    // One line for the service's log.
    void note(const QString &text);

private:
    void accept(std::unique_ptr<NetConnection> c);
    void turnAway(std::unique_ptr<NetConnection> c, const QByteArray &words);
    void granted(const QString &error);
    void pump();
    void fromClient();
    void toClient();
    void end(const QString &why);
    bool allowed(const QString &host) const;
    void listenAgain();

    SiteWatch &m_site;
    WatchMaintenance m_rules;
    std::unique_ptr<NetListener> m_listener;
    std::unique_ptr<NetConnection> m_client;
    std::unique_ptr<Rfc2217Server> m_telnet;
    std::unique_ptr<WindowTimer> m_idleTimer;
    std::unique_ptr<WindowTimer> m_retryTimer;
    std::unique_ptr<WindowTimer> m_paceTimer; // reads again once the command window has passed
    QByteArray m_toLine;
    bool m_openLine = false; // the last byte written to the line was no CR
    QDateTime m_since;
    qint64 m_windowStartMs = 0;
    qsizetype m_windowCommandBytes = 0;
    bool m_granted = false;
    bool m_pumping = false;
    bool m_again = false;
    Counts m_counts;
};
