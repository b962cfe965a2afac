#include "fleet/AlarmNotify.h"

#include "platform/Clock.h"
#include "platform/HttpPost.h"
#include "platform/Programs.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

namespace {
QByteArray jsonText(const QString &text)
{
    const QByteArray a = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return a.mid(1, a.size() - 2);
}

// The last line a program wrote, for the log.
QString lastLine(const QByteArray &output)
{
    const QList<QByteArray> lines = output.trimmed().split('\n');
    return QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last()).simplified().left(200);
}

QString seconds(qint64 ms)
{
    return QString::number(ms / 1000.0, 'f', 1) + QStringLiteral(" s");
}
} // namespace

QByteArray AlarmNotice::json() const
{
    return "{\"event\":" + jsonText(event) + ",\"site\":" + jsonText(site) + ",\"title\":" + jsonText(title) +
           ",\"cause\":" + jsonText(cause) + ",\"cause_text\":" + jsonText(causeText) +
           ",\"state\":" + jsonText(state) + ",\"time\":" + jsonText(time) + ",\"value\":" + jsonText(value) +
           ",\"watchd\":" + jsonText(watchd) + '}';
}

QStringList AlarmNotice::environment() const
{
    return {QStringLiteral("QELVO_EVENT=") + event,         QStringLiteral("QELVO_SITE=") + site,
            QStringLiteral("QELVO_TITLE=") + title,         QStringLiteral("QELVO_CAUSE=") + cause,
            QStringLiteral("QELVO_CAUSE_TEXT=") + causeText, QStringLiteral("QELVO_STATE=") + state,
            QStringLiteral("QELVO_TIME=") + time,           QStringLiteral("QELVO_VALUE=") + value,
            QStringLiteral("QELVO_WATCHD=") + watchd,       QStringLiteral("QELVO_JSON=") + QString::fromUtf8(json())};
}

AlarmNotifier::AlarmNotifier(const WatchNotify &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_retryTimer(std::make_unique<WindowTimer>()),
      m_self(std::make_shared<AlarmNotifier *>(this))
{
    m_retryTimer->onTick = [this] {
        m_retryTimer->setEnabled(false);
        sendNext();
    };
}

AlarmNotifier::~AlarmNotifier()
{
    m_self.reset();
    m_retryTimer->setEnabled(false);
    for (auto &[id, run] : m_running) {
        run.bound->setEnabled(false);
        programService().kill(id);
    }
    if (m_postId)
        httpService().abort(m_postId);
}

void AlarmNotifier::setSettings(const WatchNotify &settings)
{
    m_settings = settings;
    // What waits for a program or a hook that is no longer configured goes.
    if (m_settings.execProgram.isEmpty() && !m_execQueue.empty()) {
        emit logLine(QStringLiteral("notify: no program any more; %1 notices not run").arg(m_execQueue.size()));
        m_execQueue.clear();
    }
    if (m_settings.webhook.isEmpty() && !m_posts.empty()) {
        emit logLine(QStringLiteral("notify: no web hook any more; %1 notices not sent").arg(m_posts.size()));
        m_retryTimer->setEnabled(false);
        if (m_postId > 0)
            httpService().abort(m_postId);
        m_postId = 0;
        m_posts.clear();
    }
    startRuns();
    sendNext();
}

QString AlarmNotifier::what(const AlarmNotice &n) const
{
    return n.site + QLatin1Char(' ') + n.cause + (n.event == QLatin1String("raise") ? QString() : QStringLiteral(" (") + n.event + QLatin1Char(')'));
}

void AlarmNotifier::notify(const AlarmNotice &notice)
{
    if (!m_settings.execProgram.isEmpty()) {
        if (m_execQueue.size() >= size_t(kMaxQueued)) {
            ++m_counts.execDropped;
            if (!m_execFull)
                emit logLine(QStringLiteral("notify: %1 notices wait for the program already; %2 and the next ones are "
                                            "dropped until some have run")
                                 .arg(kMaxQueued)
                                 .arg(what(notice)));
            m_execFull = true;
        } else {
            m_execQueue.push_back(notice);
            startRuns();
        }
    }
    if (!m_settings.webhook.isEmpty()) {
        if (m_posts.size() >= size_t(kMaxQueued)) {
            ++m_counts.webhookDropped;
            if (!m_webhookFull)
                emit logLine(QStringLiteral("notify: %1 notices wait for the web hook already; %2 and the next ones "
                                            "are dropped until some have gone")
                                 .arg(kMaxQueued)
                                 .arg(what(notice)));
            m_webhookFull = true;
        } else {
            m_posts.push_back(Post{notice, notice.json(), 0});
            sendNext();
        }
    }
}

void AlarmNotifier::startRuns()
{
    while (m_running.size() < size_t(kMaxRunning) && !m_execQueue.empty() && !m_settings.execProgram.isEmpty()) {
        AlarmNotice n = std::move(m_execQueue.front());
        m_execQueue.pop_front();
        if (m_execFull && m_execQueue.size() < size_t(kMaxQueued / 2)) {
            m_execFull = false;
            emit logLine(QStringLiteral("notify: the program's queue takes notices again"));
        }
        auto idHolder = std::make_shared<int>(0);
        std::weak_ptr<AlarmNotifier *> self = m_self;
        const QStringList env = n.environment();
        const int id = programService().start(m_settings.execProgram, m_settings.execArgs, env,
                                              [self, idHolder](const ProgramEnd &end) {
                                                  if (const auto s = self.lock())
                                                      (*s)->ran(*idHolder, end);
                                              });
        *idHolder = id;
        Run &r = m_running[id];
        r.notice = std::move(n);
        r.startMs = clockService().elapsedMs();
        r.bound = std::make_unique<WindowTimer>();
        r.bound->setInterval(m_settings.execTimeoutS * 1000);
        r.bound->onTick = [this, id] {
            const auto it = m_running.find(id);
            if (it == m_running.end())
                return;
            it->second.bound->setEnabled(false);
            // Killed from the event loop: its end takes the run and this timer with it.
            QMetaObject::invokeMethod(this, [id] { programService().kill(id); }, Qt::QueuedConnection);
        };
        r.bound->setEnabled(true);
    }
}

void AlarmNotifier::ran(int id, const ProgramEnd &end)
{
    const auto it = m_running.find(id);
    if (it == m_running.end())
        return;
    Run r = std::move(it->second);
    m_running.erase(it);
    r.bound->setEnabled(false);
    const qint64 took = clockService().elapsedMs() - r.startMs;
    const QString head = QStringLiteral("notify: %1 for %2: ").arg(QFileInfo(m_settings.execProgram).fileName(), what(r.notice));
    QString line;
    switch (end.how) {
    case ProgramEnd::How::Exited:
        line = QStringLiteral("exit status %1 after %2").arg(end.exitCode).arg(seconds(took));
        if (end.exitCode != 0 && !lastLine(end.output).isEmpty())
            line += QStringLiteral(": ") + lastLine(end.output);
        break;
    case ProgramEnd::How::Killed:
        line = QStringLiteral("killed after %1, its time-out").arg(seconds(took));
        break;
    case ProgramEnd::How::Crashed: line = QStringLiteral("crashed after %1 (%2)").arg(seconds(took), end.error); break;
    case ProgramEnd::How::NotStarted: line = QStringLiteral("could not start: %1").arg(end.error); break;
    }
    if (end.ok())
        ++m_counts.execDone;
    else
        ++m_counts.execFailed;
    emit logLine(head + line);
    startRuns();
}

void AlarmNotifier::sendNext()
{
    if (m_postId || m_retryTimer->Enabled() || m_posts.empty() || m_settings.webhook.isEmpty())
        return;
    Post &p = m_posts.front();
    ++p.tries;
    std::weak_ptr<AlarmNotifier *> self = m_self;
    m_postId = -1; // an answer that comes at once finds the POST under way
    const int id = httpService().post(QUrl(m_settings.webhook), p.body, "application/json",
                                      m_settings.webhookTimeoutS * 1000, [self](const HttpAnswer &a) {
                                          if (const auto s = self.lock())
                                              (*s)->answered(a);
                                      });
    if (m_postId == -1)
        m_postId = id;
}

void AlarmNotifier::answered(const HttpAnswer &a)
{
    m_postId = 0;
    if (m_posts.empty())
        return;
    Post p = m_posts.front();
    const QString host = QUrl(m_settings.webhook).host();
    const QString result = a.error.isEmpty() ? QStringLiteral("HTTP %1").arg(a.status) : a.error;
    // A server that refuses the request as such (a 4xx other than a time-out or too many
    // requests) refuses it again.
    const bool again = !a.ok() && (a.status == 0 || a.status >= 500 || a.status == 408 || a.status == 429);
    if (a.ok() || !again || p.tries >= m_settings.webhookTries) {
        m_posts.pop_front();
        if (m_webhookFull && m_posts.size() < size_t(kMaxQueued / 2)) {
            m_webhookFull = false;
            emit logLine(QStringLiteral("notify: the web hook's queue takes notices again"));
        }
        m_retryMs = kRetryMinMs;
        if (a.ok()) {
            ++m_counts.webhookSent;
            emit logLine(QStringLiteral("notify: web hook %1 for %2: %3 (try %4)").arg(host, what(p.notice), result).arg(p.tries));
        } else {
            ++m_counts.webhookFailed;
            emit logLine(QStringLiteral("notify: web hook %1 for %2: %3; given up after %4 tries")
                             .arg(host, what(p.notice), result)
                             .arg(p.tries));
        }
        sendNext();
        return;
    }
    emit logLine(QStringLiteral("notify: web hook %1 for %2: %3 (try %4 of %5); next try in %6 s")
                     .arg(host, what(p.notice), result)
                     .arg(p.tries)
                     .arg(m_settings.webhookTries)
                     .arg(m_retryMs / 1000));
    m_retryTimer->setInterval(m_retryMs);
    m_retryTimer->setEnabled(true);
    m_retryMs = qMin(m_retryMs * 2, kRetryMaxMs);
}

void AlarmNotifier::stop()
{
    const size_t waiting = m_execQueue.size() + m_posts.size();
    m_execQueue.clear();
    const std::map<int, Run>::size_type running = m_running.size();
    std::vector<int> ids;
    for (auto &[id, run] : m_running)
        ids.push_back(id);
    for (int id : ids)
        programService().kill(id);
    m_retryTimer->setEnabled(false);
    if (m_postId > 0)
        httpService().abort(m_postId);
    m_postId = 0;
    m_posts.clear();
    if (waiting + running > 0)
        emit logLine(QStringLiteral("notify: stopped with %1 notices not delivered").arg(waiting + running));
}
