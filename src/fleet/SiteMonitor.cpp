#include "fleet/SiteMonitor.h"

#include "fleet/IniFile.h"
#include "fleet/WatchAlarms.h"
#include "fleet/WatchConfig.h"
#include "link/LinkSession.h"
#include "link/modLinkState.h"
#include "platform/Clock.h"
#include "platform/ComPorts.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/Paths.h"
#include "platform/PortClaims.h"
#include "platform/TextFile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonObject>
#include <QJsonDocument>

#include <algorithm>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int kMaxSourceText = 1000;
SiteMonitor *s_monitor = nullptr; // the program's, made on first use
} // namespace

// ---------------------------------------------------------------- the source file

QString SiteSourcePath() { return DataFolder() + QStringLiteral("sites.ini"); }

SiteSource LoadSiteSource(QString *fault)
{
    const QString path = SiteSourcePath();
    IniFile ini;
    SiteSource s;
    const auto faulty = [&] {
        // The file's name, not the data folder's path, before the line.
        if (fault)
            *fault = QFileInfo(path).fileName() + ini.faults().value(0).mid(path.size());
        return SiteSource();
    };
    if (!ini.read(path, SiteMonitor::kMaxSourceBytes)) {
        if (ini.faults().value(0).endsWith(QLatin1String(": the file does not exist")))
            return s; // never saved: the defaults
        return faulty();
    }
    for (const QString &group : ini.groups()) {
        if (group == QLatin1String("mqtt"))
            ini.onlyKeys(group, {QStringLiteral("url"), QStringLiteral("topic_prefix"), QStringLiteral("username"),
                                 QStringLiteral("password_file")});
        else if (group == QLatin1String("watch"))
            ini.onlyKeys(group, {QStringLiteral("file")});
        else
            ini.fault(ini.lineOf(group), QStringLiteral("[%1] is no group of this file (known: mqtt, watch)").arg(group));
    }
    const auto value = [&](const char *group, const char *key, const QString &fallback = QString()) {
        const QString g = QLatin1String(group), k = QLatin1String(key);
        return ini.has(g, k) ? ini.text(g, k).left(kMaxSourceText) : fallback;
    };
    s.url = value("mqtt", "url");
    s.topicPrefix = value("mqtt", "topic_prefix", s.topicPrefix);
    s.username = value("mqtt", "username");
    s.passwordFile = value("mqtt", "password_file");
    s.watchFile = value("watch", "file");
    if (ini.failed())
        return faulty();
    return s;
}

bool SaveSiteSource(const SiteSource &s)
{
    const auto v = [](const QString &value) { return IniFile::valueText(value); };
    const QString text =
        QStringLiteral("[mqtt]\nurl=%1\ntopic_prefix=%2\nusername=%3\npassword_file=%4\n[watch]\nfile=%5\n")
            .arg(v(s.url), v(s.topicPrefix), v(s.username), v(s.passwordFile), v(s.watchFile));
    const FileError e = WriteWholeFile(SiteSourcePath(), text.toUtf8());
    if (e.failed()) {
        MsgBox(ErrTextErrorNo(e), vbOKOnly + vbCritical, QStringLiteral("取得元設定保存"));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the monitor

SiteMonitor::SiteMonitor(QObject *parent) : QObject(parent)
{
    m_brokerText = QStringLiteral("ﾌﾞﾛｰｶ未設定");
    newBoard();
}

SiteMonitor::~SiteMonitor()
{
    stop();
    if (s_monitor == this)
        s_monitor = nullptr;
}

SitePortMaker &SiteMonitor::portMaker()
{
    static SitePortMaker maker = MakeSitePort;
    return maker;
}

QString SiteMonitor::loginName()
{
    if (const passwd *pw = getpwuid(getuid()))
        return QString::fromLocal8Bit(pw->pw_name);
    return qEnvironmentVariable("USER");
}

QString SiteMonitor::alarmLogPath() { return DataFolder() + QStringLiteral("sitealarm.log"); }

void SiteMonitor::handLocalAlarms()
{
    const QSet<QString> sites = std::exchange(m_localChanged, {});
    if (!m_localBook)
        return;
    for (const QString &site : sites)
        m_board->takeServiceAlarms(site, m_localBook->site(site));
}

QString SiteMonitor::alarmLogPath(const QDate &day)
{
    return DataFolder() + QStringLiteral("sitealarm%1.log").arg(day.toString(QStringLiteral("yyyyMMdd")));
}

void SiteMonitor::rotateAlarmLog(const QDate &today)
{
    if (m_logDay == today)
        return;
    const QString path = alarmLogPath();
    const auto exists = [](const QString &p, struct stat *st) {
        return diskService().stat(QFile::encodeName(p).constData(), st) == 0;
    };
    struct stat st {};
    if (!exists(path, &st)) {
        m_logDay = today;
        return;
    }
    // Written by an earlier run: the day of its last line ("yyyy/MM/dd ..."), or of its last
    // write when no line tells it.
    QDate held = m_logDay;
    if (!held.isValid()) {
        QByteArray bytes;
        if (!ReadWholeFile(path, bytes).failed()) {
            const qsizetype end = bytes.endsWith("\r\n") ? bytes.size() - 2 : bytes.size();
            const qsizetype start = bytes.lastIndexOf('\n', end - 1) + 1;
            held = QDate::fromString(QString::fromLatin1(bytes.mid(start, 10)), QStringLiteral("yyyy/MM/dd"));
        }
        if (!held.isValid())
            held = QDateTime::fromSecsSinceEpoch(st.st_mtime).date();
    }
    if (held == today) {
        m_logDay = today;
        return;
    }
    QString aside = alarmLogPath(held);
    for (int n = 2; n < 100 && exists(aside, &st); ++n)
        aside = alarmLogPath(held).chopped(4) + QStringLiteral("_%1.log").arg(n);
    if (RenameFile(path, aside).failed())
        return;
    m_logDay = today;
}

void SiteMonitor::newBoard()
{
    SiteBoard *old = m_board;
    m_board = new SiteBoard(this);
    connect(m_board, &SiteBoard::alarmStep, this, &SiteMonitor::logStep);
    connect(m_board, &SiteBoard::alarmRaised, this, &SiteMonitor::raised);
    connect(m_board, &SiteBoard::unacknowledgedChanged, this, &SiteMonitor::countChanged);
    // A trend window showing a site's history follows its newest reading.
    connect(m_board, &SiteBoard::rowChanged, this, [board = m_board](const QString &name) {
        if (const auto h = board->history(board->indexOf(name)))
            emit siteEvents().historyGrew(h.get());
    });
    if (!old)
        return;
    emit boardReplaced(m_board);
    const bool counted = old->unacknowledged() > 0;
    delete old;
    if (counted)
        countChanged(0);
}

bool SiteMonitor::useSource(const SiteSource &s)
{
    const bool fresh = !m_started || s.url != m_source.url || s.topicPrefix != m_source.topicPrefix ||
                       s.watchFile != m_source.watchFile;
    if (m_started && fresh)
        newBoard();
    m_started = true;
    const bool broker = useBroker(s);
    if (!fresh)
        return broker;
    const bool file = useWatchFile(s.watchFile);
    return broker && file;
}

bool SiteMonitor::useSavedSource()
{
    QString fault;
    const SiteSource s = LoadSiteSource(&fault);
    const bool ok = useSource(s);
    if (fault.isEmpty())
        return ok;
    setBrokerText(m_brokerText + QStringLiteral(" (") + fault + QLatin1Char(')'));
    return false;
}

void SiteMonitor::stop()
{
    stopBroker();
    stopLocal();
}

void SiteMonitor::setBrokerText(const QString &text)
{
    if (text == m_brokerText)
        return;
    m_brokerText = text;
    emit brokerTextChanged(text);
}

void SiteMonitor::setFileText(const QString &text)
{
    if (text == m_fileText)
        return;
    m_fileText = text;
    emit fileTextChanged(text);
}

void SiteMonitor::stopBroker()
{
    if (!m_mqtt)
        return;
    m_fetch.reset();
    m_mqtt->disconnect(this);
    m_mqtt->stop();
    m_mqtt.reset();
}

void SiteMonitor::stopLocal()
{
    for (std::unique_ptr<SiteWatch> &w : m_local) {
        // Stopped by the program, not by its controller: the board keeps what it last heard.
        w->disconnect(this);
        w->stop();
    }
    m_local.clear();
    m_localNames.clear();
    m_localChanged.clear();
    m_localBook.reset();
    PortClaims::release(this);
}

bool SiteMonitor::useWatchFile(const QString &path)
{
    stopLocal();
    m_source.watchFile = path;
    if (path.isEmpty()) {
        setFileText(QString());
        return true;
    }
    QStringList faults;
    const std::optional<WatchSettings> settings = LoadWatchConfig(path, DataFolder(), &faults);
    const QString file = QFileInfo(path).fileName();
    if (!settings) {
        setFileText(QStringLiteral("%1 を使用できません: %2").arg(file, faults.value(0)));
        return false;
    }
    // The polled sites' alarms: the view keeps them itself, in the states the watcher's have,
    // and the board shows them as it shows a watcher's.
    m_localBook = std::make_unique<AlarmBook>();
    // A reading's changes (outputs 1 and 2 at once) go to the board as one list, as the
    // watcher publishes them: at the next turn of the event loop.
    connect(m_localBook.get(), &AlarmBook::siteChanged, this, [this](const QString &site) {
        if (m_localChanged.isEmpty())
            QMetaObject::invokeMethod(this, &SiteMonitor::handLocalAlarms, Qt::QueuedConnection);
        m_localChanged.insert(site);
    });
    connect(m_localBook.get(), &AlarmBook::changed, this, [this](const AlarmEvent &e) {
        // The board's steps log raises and clears; acknowledgements (with the user, which a
        // list of alarms does not keep once they are normal) and shelving are the book's.
        if (e.kind == AlarmEvent::Kind::Acked)
            logLine(e.site, AlarmStepText(AlarmStep::Acknowledged), e.alarm.cause, e.user);
        else if (e.kind == AlarmEvent::Kind::Shelved || e.kind == AlarmEvent::Kind::Unshelved ||
                 e.kind == AlarmEvent::Kind::ShelveEnded)
            logLine(e.site, AlarmEventText(e.kind), e.alarm.cause, e.user);
    });
    QStringList refused;
    for (const WatchSite &site : settings->sites) {
        const QStringList keys = SitePortKeys(site);
        // Taken already, by the tool or by an earlier site of this file on the same line (COM5
        // mapped to the device server another site names): that site is not polled.
        if (!PortClaims::holderOf(keys).isEmpty() ||
            !PortClaims::take(this, QStringLiteral("ｻｲﾄ一覧 (%1)").arg(site.name), keys)) {
            refused << site.name;
            continue;
        }
        const QString name = site.name;
        m_board->addSite(name);
        m_board->setTitle(name, site.title);
        m_board->setWarnMask(name, site.warnOutputs);
        m_localNames.insert(name);
        m_board->takeServiceAlarms(name, SiteAlarms{name, 0, {}});
        auto w = std::make_unique<SiteWatch>(site, portMaker());
        // The program's own link has the port open: the site waits (lost, retrying) until it is
        // closed; meanwhile the claim keeps the link from opening it again.
        w->setOpenCheck([keys]() -> QString {
            SerialPortService &own = appSession().port();
            if (!own.portOpen())
                return QString();
            for (const QString &k : ComPortKeys(own.commPort()))
                if (keys.contains(k))
                    return QStringLiteral("本ﾌﾟﾛｸﾞﾗﾑの通信でCOM%1を使用中").arg(own.commPort());
            return QString();
        });
        const int interval = site.intervalMs;
        const quint8 warn = site.warnOutputs;
        connect(w.get(), &SiteWatch::readingTaken, this, [this, name, interval, warn](const Reading &r) {
            m_board->takeReading(name, r, interval);
            WatchAlarms::readingConditions(*m_localBook, name, r, warn);
        });
        connect(w.get(), &SiteWatch::stateChanged, this, [this, name](SiteState st, const QString &why) {
            m_board->takeState(name, st, why);
            WatchAlarms::stateConditions(*m_localBook, name, st, why);
        });
        w->start();
        m_local.push_back(std::move(w));
    }
    QString text = QStringLiteral("%1 %2ｻｲﾄ").arg(file).arg(m_local.size());
    if (!refused.isEmpty())
        text += QStringLiteral(" (ﾎﾟｰﾄ使用中: %1)").arg(refused.join(QLatin1Char(',')));
    setFileText(text);
    return refused.isEmpty();
}

bool SiteMonitor::useBroker(const SiteSource &s)
{
    stopBroker();
    const QString watchFile = m_source.watchFile;
    m_source = s;
    m_source.watchFile = watchFile;
    m_prefix = s.topicPrefix;
    if (s.url.isEmpty()) {
        setBrokerText(QStringLiteral("ﾌﾞﾛｰｶ未設定"));
        return false;
    }
    MqttClient::Options o;
    o.url = s.url;
    o.clientId = QStringLiteral("qelvo-sites-%1-%2").arg(loginName()).arg(QCoreApplication::applicationPid());
    o.username = s.username;
    QString why;
    if (!s.passwordFile.isEmpty() && !ReadPasswordFile(s.passwordFile, &o.password, &why)) {
        setBrokerText(QStringLiteral("ﾊﾟｽﾜｰﾄﾞﾌｧｲﾙを読めません: %1").arg(why));
        return false;
    }
    // The largest message taken: a chunk of a history answer (the board bounds the others).
    o.maxPayload = qMax(SiteBoard::kMaxAlarmsPayload, HistoryFetch::kMaxAnswerBytes);
    m_mqtt = std::make_unique<MqttClient>(o);
    useHistoryFetch(o.clientId);
    const QString where = s.url;
    // The broker lost is one alarm, named by its address; its sites wait as 未接続.
    connect(m_mqtt.get(), &MqttClient::connected, this, [this, where] {
        setBrokerText(where + QStringLiteral(" 接続中"));
        m_board->setBrokerUp(true, where);
    });
    connect(m_mqtt.get(), &MqttClient::disconnected, this, [this, where](const QString &reason) {
        setBrokerText(where + QStringLiteral(" 未接続 (") + reason + QLatin1Char(')'));
        m_board->setBrokerUp(false, where);
    });
    const QString results = m_prefix + QStringLiteral("/command/") + s.username + QLatin1Char('/');
    connect(m_mqtt.get(), &MqttClient::messageReceived, this,
            [this, results](const QString &topic, const QByteArray &payload, bool retained) {
                if (topic == m_fetch->replyTopic()) {
                    m_fetch->message(topic, payload, retained);
                    return;
                }
                if (topic.startsWith(results) && topic.endsWith(QLatin1String("/result"))) {
                    if (!retained)
                        commandAnswered(topic.mid(results.size()).chopped(7), payload);
                    return;
                }
                m_board->takeMessage(m_prefix, topic, payload);
            });
    for (const QString &level : {QStringLiteral("+/reading"), QStringLiteral("+/state"), QStringLiteral("+/alarms"),
                                 QStringLiteral("+/settings"), QLatin1String(kWatcherTopicLevel) + QStringLiteral("/+")})
        m_mqtt->subscribe(m_prefix + QLatin1Char('/') + level);
    if (!s.username.isEmpty())
        m_mqtt->subscribe(results + QStringLiteral("+/result"));
    m_mqtt->subscribe(m_fetch->replyTopic());
    if (!m_mqtt->start(&why)) {
        setBrokerText(where + QStringLiteral(" 使用できません (") + why + QLatin1Char(')'));
        m_mqtt.reset();
        return false;
    }
    setBrokerText(where + QStringLiteral(" 接続待ち"));
    return true;
}

void SiteMonitor::useHistoryFetch(const QString &clientId)
{
    // This view's own reply topic: its client id, in characters any topic level takes.
    QString level = clientId;
    for (QChar &c : level)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') && c != QLatin1Char('_'))
            c = QLatin1Char('_');
    m_fetch = std::make_unique<HistoryFetch>(
        m_prefix, m_prefix + QStringLiteral("/history/") + level.left(80),
        [this](const QString &topic, const QByteArray &payload) {
            return m_mqtt && m_mqtt->isConnected() && m_mqtt->publish(topic, payload, 1, false) > 0;
        });
    connect(m_fetch.get(), &HistoryFetch::told, this, &SiteMonitor::commandTold);
    connect(m_fetch.get(), &HistoryFetch::merged, this,
            [](const TrendSeries *series) { emit siteEvents().historyGrew(series); });
}

void SiteMonitor::askHistory(const QString &name)
{
    const int i = m_board->indexOf(name);
    if (i < 0)
        return;
    const QString shown = m_board->rows().at(i).displayName();
    const bool local = std::any_of(m_local.begin(), m_local.end(),
                                   [&](const std::unique_ptr<SiteWatch> &w) { return w->site().name == name; });
    if (local || !m_fetch) {
        emit commandTold(HistoryFetch::localText(shown));
        return;
    }
    m_fetch->ask(name, shown, m_board->historyToMerge(i));
}

QString SiteMonitor::commandRefusal() const
{
    if (!m_mqtt)
        return QStringLiteral("ﾌﾞﾛｰｶ未設定");
    if (m_source.username.isEmpty())
        return QStringLiteral("ﾌﾞﾛｰｶのﾕｰｻﾞｰ名が未設定です (取得元設定)");
    if (!m_mqtt->isConnected())
        return QStringLiteral("ﾌﾞﾛｰｶ未接続");
    return QString();
}

void SiteMonitor::acknowledge(const QStringList &names)
{
    // The view's own alarms (and those of the sites' watchers and broker) here.
    QStringList service;
    for (const QString &name : names) {
        if (isLocal(name))
            m_localBook->acknowledge(name, std::nullopt, loginName());
        else if (const BoardRow *r = m_board->row(name); r && r->hasService)
            service << name;
    }
    // A user's act shows at once.
    handLocalAlarms();
    m_board->acknowledge(names, loginName());
    if (service.isEmpty())
        return;
    if (const QString why = commandRefusal(); !why.isEmpty()) {
        emit commandTold(QStringLiteral("確認できません: %1").arg(why));
        return;
    }
    int sent = 0;
    for (const QString &name : service) {
        // Only the alarms that wait for an acknowledgement: "all" would be refused for a site
        // whose alarms are all acknowledged.
        const BoardRow *r = m_board->row(name);
        if (std::none_of(r->service.alarms.begin(), r->service.alarms.end(),
                         [](const Alarm &a) { return a.unacknowledged(); }))
            continue;
        if (sendCommand(name, "\"action\":\"ack\",\"cause\":\"all\""))
            ++sent;
    }
    if (sent > 0)
        emit commandTold(QStringLiteral("確認を送信しました (%1ｻｲﾄ)").arg(sent));
}

bool SiteMonitor::sendCommand(const QString &site, const QByteArray &rest)
{
    const QByteArray cmd = "{\"id\":\"" + QByteArray::number(++m_commandId) + "\"," + rest + '}';
    return m_mqtt->publish(m_prefix + QStringLiteral("/command/") + m_source.username + QLatin1Char('/') + site, cmd, 1,
                           false) > 0;
}

QList<const BoardRow *> SiteMonitor::serviceRows(const QStringList &names) const
{
    QList<const BoardRow *> rows;
    for (const QString &name : names)
        if (const BoardRow *r = m_board->row(name); r && r->hasService && !isLocal(name))
            rows << r;
    return rows;
}

void SiteMonitor::shelve(const QStringList &names, int minutes, const QString &reason)
{
    // The sites polled here: shelved at once, in the login name.
    int done = 0;
    for (const QString &name : names) {
        if (!isLocal(name))
            continue;
        for (const Alarm &a : m_localBook->site(name).alarms) {
            const AlarmState st = a.state();
            if (st == AlarmState::Unack || st == AlarmState::Acked || st == AlarmState::Rtnun)
                done += m_localBook->shelve(name, a.cause, minutes, loginName(), reason.left(AlarmBook::kMaxReason)).ok;
        }
    }
    handLocalAlarms();
    const QList<const BoardRow *> rows = serviceRows(names);
    if (rows.isEmpty()) {
        emit commandTold(done > 0 ? QStringLiteral("一時抑制しました (%1件)").arg(done)
                                  : QStringLiteral("一時抑制する警報がありません"));
        return;
    }
    if (const QString why = commandRefusal(); !why.isEmpty()) {
        emit commandTold(QStringLiteral("一時抑制できません: %1").arg(why));
        return;
    }
    int sent = 0;
    for (const BoardRow *r : rows)
        for (const Alarm &a : r->service.alarms) {
            // Only an alarm that stands: a shelved one stays as shelved, one out of service
            // is the maintenance's.
            const AlarmState st = a.state();
            if (st != AlarmState::Unack && st != AlarmState::Acked && st != AlarmState::Rtnun)
                continue;
            if (sendCommand(r->name, "\"action\":\"shelve\",\"cause\":\"" + QByteArray(AlarmCauseName(a.cause)) +
                                         "\",\"minutes\":" + QByteArray::number(minutes) +
                                         ",\"reason\":" + JsonString(reason.left(AlarmBook::kMaxReason))))
                ++sent;
        }
    emit commandTold(sent > 0 ? QStringLiteral("一時抑制を送信しました (%1件)").arg(sent)
                              : QStringLiteral("一時抑制する警報がありません"));
}

void SiteMonitor::unshelve(const QStringList &names)
{
    int done = 0;
    for (const QString &name : names)
        if (isLocal(name) && m_localBook->unshelve(name, std::nullopt, loginName()).ok)
            ++done;
    handLocalAlarms();
    const QList<const BoardRow *> rows = serviceRows(names);
    QList<const BoardRow *> shelved;
    for (const BoardRow *r : rows)
        if (std::any_of(r->service.alarms.begin(), r->service.alarms.end(), [](const Alarm &a) { return a.shelved(); }))
            shelved << r;
    if (shelved.isEmpty()) {
        emit commandTold(done > 0 ? QStringLiteral("抑制解除しました (%1ｻｲﾄ)").arg(done)
                                  : QStringLiteral("抑制中の警報がありません"));
        return;
    }
    if (const QString why = commandRefusal(); !why.isEmpty()) {
        emit commandTold(QStringLiteral("抑制解除できません: %1").arg(why));
        return;
    }
    int sent = 0;
    for (const BoardRow *r : shelved)
        if (sendCommand(r->name, "\"action\":\"unshelve\",\"cause\":\"all\""))
            ++sent;
    emit commandTold(QStringLiteral("抑制解除を送信しました (%1ｻｲﾄ)").arg(sent));
}

void SiteMonitor::commandAnswered(const QString &site, const QByteArray &payload)
{
    const QJsonObject o = QJsonDocument::fromJson(payload.left(SiteBoard::kMaxPayload)).object();
    const BoardRow *r = m_board->row(site);
    const QString shown = r ? r->displayName() : site.left(40);
    if (o.value(QStringLiteral("ok")).toBool())
        emit commandTold(QStringLiteral("%1: 受け付けられました").arg(shown));
    else
        emit commandTold(QStringLiteral("%1: 受け付けられませんでした (%2)")
                             .arg(shown, o.value(QStringLiteral("reason")).toString().left(80)));
}

void SiteMonitor::logStep(const QString &site, AlarmStep step, AlarmCause cause, const QString &user)
{
    // A polled site's acknowledgements are told by its book, with the user.
    if (step == AlarmStep::Acknowledged && isLocal(site) && cause != AlarmCause::Stale)
        return;
    logLine(site, AlarmStepText(step), cause, user);
}

void SiteMonitor::logLine(const QString &site, const QString &what, AlarmCause cause, const QString &user)
{
    const QDateTime now = Now();
    rotateAlarmLog(now.date());
    const QString line = now.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) + QLatin1Char(',') + site +
                         QLatin1Char(',') + what + QLatin1Char(',') + AlarmCauseText(cause) + QLatin1Char(',') + user;
    // A failed append loses the line, not the alarm: the board and the views hold it either way.
    AppendToFile(alarmLogPath(), SjisEncode(line) + "\r\n");
}

void SiteMonitor::raised(const QString &site, AlarmCause cause)
{
    // A site's, or a watcher's or the broker's (named by its client id or address).
    const BoardRow *r = m_board->row(site);
    const QString shown = r ? r->displayName() : site;
    const QString what = AlarmCauseText(cause);
    m_lastAlarm = QStringLiteral("警報: %1 %2").arg(shown, what);
    dialogs().beep();
    dialogs().notify(QStringLiteral("ｻｲﾄ警報"), r ? QStringLiteral("%1 (%2): %3").arg(shown, site, what)
                                                  : QStringLiteral("%1: %2").arg(shown, what));
    emit alarmRaised(m_lastAlarm);
}

void SiteMonitor::countChanged(int count)
{
    if (count == 0)
        m_lastAlarm.clear();
    emit unacknowledgedChanged(count);
    emit siteEvents().unacknowledgedChanged(count);
}

// ---------------------------------------------------------------- the program's

SiteEvents &siteEvents()
{
    static SiteEvents *e = new SiteEvents(); // lives as long as the process
    return *e;
}

SiteMonitor &siteMonitor()
{
    if (!s_monitor)
        s_monitor = new SiteMonitor();
    return *s_monitor;
}

void StartSiteMonitor()
{
    QString fault;
    if (LoadSiteSource(&fault).set() || !fault.isEmpty())
        siteMonitor().useSavedSource();
}

void StopSiteMonitor()
{
    if (s_monitor)
        s_monitor->stop();
}

void EndSiteMonitor()
{
    delete s_monitor;
    s_monitor = nullptr;
}
