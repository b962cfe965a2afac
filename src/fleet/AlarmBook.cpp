#include "fleet/AlarmBook.h"

#include "platform/Clock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {
const char *const kCauseNames[kAlarmCauses] = {"output1", "output2", "output3", "output4", "output5", "output6",
                                               "output7", "output8", "no-reply", "lost", "refused", "garbled",
                                               "stale",   "service-down", "broker-down", "settings"};
const char *const kStateNames[] = {"NORM", "UNACK", "ACKED", "RTNUN", "SHLVD", "DSUPR"};
constexpr int kStates = int(std::size(kStateNames));
// The state file's own mark and version.
constexpr int kFileVersion = 1;

// A time at its fixed offset from UTC, as it is kept: written as text without asking the
// time zone again.
QDateTime fixed(const QDateTime &t)
{
    return !t.isValid() || t.timeSpec() == Qt::OffsetFromUTC ? t : t.toOffsetFromUtc(t.offsetFromUtc());
}

QDateTime fixedNow()
{
    return fixed(Now());
}

bool siteName(const QString &s)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_-]{1,40}$"));
    return re.match(s).hasMatch();
}

int formatTime(const QDateTime &t, char *buf, size_t size);

// A JSON string of text, appended: names, causes, units and users need no escapes, and
// the common case makes no copy.
void appendJson(QByteArray &out, const QString &text)
{
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() > 0x7E || c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            out += JsonString(text);
            return;
        }
    out += '"';
    for (const QChar c : text)
        out += char(c.unicode());
    out += '"';
}

void appendTime(QByteArray &out, const QDateTime &t)
{
    if (!t.isValid()) {
        out += "null";
        return;
    }
    char buf[48];
    out += '"';
    if (const int n = formatTime(t, buf, sizeof buf))
        out.append(buf, n);
    else
        out += AlarmTimeText(t).toLatin1();
    out += '"';
}

QByteArray jsonTime(const QDateTime &t)
{
    QByteArray out;
    appendTime(out, t);
    return out;
}

// The alarm's published fields, without the closing brace, appended to out.
void appendAlarmFields(QByteArray &p, const Alarm &a, const QString &reason)
{
    p += "{\"cause\":\"";
    p += AlarmCauseName(a.cause);
    p += "\",\"state\":\"";
    p += AlarmStateName(a.state());
    p += "\",\"raised\":";
    appendTime(p, a.raised);
    p += ",\"cleared\":";
    appendTime(p, a.cleared);
    p += ",\"acked_by\":";
    appendJson(p, a.ackedBy);
    p += ",\"acked_at\":";
    appendTime(p, a.ackedAt);
    p += ",\"shelved_by\":";
    appendJson(p, a.shelvedBy);
    p += ",\"shelved_until\":";
    appendTime(p, a.shelvedUntil);
    p += ",\"reason\":";
    appendJson(p, reason);
}

bool fail(QString *why, const QString &text)
{
    if (why)
        *why = text;
    return false;
}

// A text of at most limit characters (absent: empty).
bool readText(const QJsonObject &o, const char *key, int limit, QString *out, QString *why)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) {
        out->clear();
        return true;
    }
    if (!v.isString())
        return fail(why, QStringLiteral("%1 is no text").arg(QLatin1String(key)));
    if (v.toString().size() > limit)
        return fail(why, QStringLiteral("%1 is longer than %2 characters").arg(QLatin1String(key)).arg(limit));
    *out = v.toString();
    return true;
}

// A time: null, or ISO 8601 with its offset.
bool readTime(const QJsonObject &o, const char *key, QDateTime *out, QString *why)
{
    const QJsonValue v = o.value(QLatin1String(key));
    *out = QDateTime();
    if (v.isUndefined() || v.isNull() || (v.isString() && v.toString().isEmpty()))
        return true;
    if (!v.isString() || v.toString().size() > 40)
        return fail(why, QStringLiteral("%1 is no time").arg(QLatin1String(key)));
    *out = QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
    if (!out->isValid())
        return fail(why, QStringLiteral("%1 is no time").arg(QLatin1String(key)));
    return true;
}

// One alarm of a published list, or (full) of the state file.
bool readAlarm(const QJsonValue &v, bool full, Alarm *a, QString *why)
{
    if (!v.isObject())
        return fail(why, QStringLiteral("an alarm is no object"));
    const QJsonObject o = v.toObject();
    const std::optional<AlarmCause> cause = AlarmCauseFromName(o.value(QLatin1String("cause")).toString());
    if (!cause)
        return fail(why, QStringLiteral("unknown cause"));
    const std::optional<AlarmState> state = AlarmStateFromName(o.value(QLatin1String("state")).toString());
    if (!state || *state == AlarmState::Normal)
        return fail(why, QStringLiteral("unknown state"));
    *a = Alarm();
    a->cause = *cause;
    if (!readTime(o, "raised", &a->raised, why) || !readTime(o, "cleared", &a->cleared, why) ||
        !readTime(o, "acked_at", &a->ackedAt, why) || !readTime(o, "shelved_until", &a->shelvedUntil, why) ||
        !readText(o, "acked_by", AlarmBook::kMaxUser, &a->ackedBy, why) ||
        !readText(o, "shelved_by", AlarmBook::kMaxUser, &a->shelvedBy, why) ||
        !readText(o, "reason", AlarmBook::kMaxReason, &a->reason, why))
        return false;
    if (*state == AlarmState::Shelved && !a->shelved())
        return fail(why, QStringLiteral("a shelved alarm without shelved_until"));
    if (!full) {
        // What the state tells of what lies beneath it.
        if (*state != AlarmState::Shelved)
            a->shelvedUntil = QDateTime();
        a->suppressed = *state == AlarmState::Suppressed;
        if (*state != AlarmState::Shelved && *state != AlarmState::Suppressed)
            a->core = *state;
        a->active = *state == AlarmState::Unack || *state == AlarmState::Acked;
        return true;
    }
    const std::optional<AlarmState> core = AlarmStateFromName(o.value(QLatin1String("core")).toString());
    if (!core || int(*core) > int(AlarmState::Rtnun))
        return fail(why, QStringLiteral("unknown core state"));
    a->core = *core;
    const QJsonValue active = o.value(QLatin1String("active"));
    if (!active.isBool())
        return fail(why, QStringLiteral("active is no true or false"));
    a->active = active.toBool();
    if (!readText(o, "value", AlarmBook::kMaxValue, &a->value, why))
        return false;
    return true;
}
} // namespace

QByteArray JsonString(const QString &text)
{
    // Names, causes, units and hexadecimal digits need no escapes: the common case is quick.
    bool plain = true;
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() > 0x7E || c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            plain = false;
            break;
        }
    if (plain)
        return '"' + text.toLatin1() + '"';
    const QByteArray a = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return a.mid(1, a.size() - 2);
}

const char *AlarmCauseName(AlarmCause c)
{
    const int i = int(c);
    return i >= 0 && i < kAlarmCauses ? kCauseNames[i] : "?";
}

std::optional<AlarmCause> AlarmCauseFromName(const QString &name)
{
    for (int i = 0; i < kAlarmCauses; ++i)
        if (name == QLatin1String(kCauseNames[i]))
            return AlarmCause(i);
    return std::nullopt;
}

AlarmCause OutputCause(int ch)
{
    return AlarmCause(qBound(1, ch, 8) - 1);
}

QString AlarmCauseText(AlarmCause c)
{
    switch (c) {
    case AlarmCause::NoReply: return QStringLiteral("応答なし");
    case AlarmCause::Lost: return QStringLiteral("切断");
    case AlarmCause::Refused: return QStringLiteral("応答拒否");
    case AlarmCause::Garbled: return QStringLiteral("応答異常");
    case AlarmCause::Stale: return QStringLiteral("受信なし");
    case AlarmCause::ServiceDown: return QStringLiteral("ｻｰﾋﾞｽ停止");
    case AlarmCause::BrokerDown: return QStringLiteral("ﾌﾞﾛｰｶ切断");
    case AlarmCause::Settings: return QStringLiteral("設定相違");
    default: break;
    }
    return QStringLiteral("出力%1 ON").arg(int(c) + 1);
}

const char *AlarmStateName(AlarmState s)
{
    const int i = int(s);
    return i >= 0 && i < kStates ? kStateNames[i] : "?";
}

std::optional<AlarmState> AlarmStateFromName(const QString &name)
{
    for (int i = 0; i < kStates; ++i)
        if (name == QLatin1String(kStateNames[i]))
            return AlarmState(i);
    return std::nullopt;
}

namespace {
// The time as AlarmTimeText writes it, into buf; 0 where Qt's own formatting must do it
// (a year outside 1 to 9999). Written by hand: Qt's took a tenth of a busy watcher's
// processor.
int formatTime(const QDateTime &t, char *buf, size_t size)
{
    const QDateTime f = fixed(t);
    if (!f.isValid())
        return 0;
    const int offset = f.offsetFromUtc();
    const qint64 local = f.toMSecsSinceEpoch() + qint64(offset) * 1000;
    constexpr qint64 kDayMs = 86400000;
    qint64 days = local / kDayMs;
    qint64 ms = local % kDayMs;
    if (ms < 0) {
        ms += kDayMs;
        --days;
    }
    const QDate date = QDate::fromJulianDay(days + 2440588); // 1970-01-01
    if (date.year() < 1 || date.year() > 9999)
        return 0;
    // "YYYY-MM-DDTHH:MM:SS.mmm+HH:MM", 29 characters.
    if (size < 30)
        return 0;
    const int aoff = offset < 0 ? -offset : offset;
    auto put = [&buf](int at, int value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10)
            buf[at + i] = char('0' + value % 10);
    };
    put(0, date.year(), 4);
    buf[4] = '-';
    put(5, date.month(), 2);
    buf[7] = '-';
    put(8, date.day(), 2);
    buf[10] = 'T';
    put(11, int(ms / 3600000), 2);
    buf[13] = ':';
    put(14, int(ms / 60000 % 60), 2);
    buf[16] = ':';
    put(17, int(ms / 1000 % 60), 2);
    buf[19] = '.';
    put(20, int(ms % 1000), 3);
    buf[23] = offset < 0 ? '-' : '+';
    put(24, aoff / 3600, 2);
    buf[26] = ':';
    put(27, aoff / 60 % 60, 2);
    buf[29] = 0;
    return 29;
}
} // namespace

QString AlarmTimeText(const QDateTime &t)
{
    char buf[48];
    if (const int n = formatTime(t, buf, sizeof buf))
        return QString::fromLatin1(buf, n);
    const QDateTime f = fixed(t);
    QString s = f.toString(Qt::ISODateWithMs);
    if (s.endsWith(QLatin1Char('Z'))) {
        s.chop(1);
        s += QStringLiteral("+00:00");
    }
    return s;
}

QByteArray AlarmsPayload(const SiteAlarms &s)
{
    QByteArray p = "{\"site\":" + JsonString(s.site) + ",\"seq\":" + QByteArray::number(s.seq) + ",\"alarms\":[";
    for (qsizetype i = 0; i < s.alarms.size(); ++i) {
        if (i)
            p += ',';
        appendAlarmFields(p, s.alarms[i], s.alarms[i].reason);
        p += '}';
    }
    p += "]}";
    return p;
}

bool ParseAlarmsPayload(const QByteArray &payload, SiteAlarms *out, QString *why)
{
    if (payload.size() > AlarmBook::kMaxPayload)
        return fail(why, QStringLiteral("larger than %1 bytes").arg(AlarmBook::kMaxPayload));
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return fail(why, QStringLiteral("no JSON object"));
    const QJsonObject o = doc.object();
    SiteAlarms s;
    s.site = o.value(QLatin1String("site")).toString();
    if (!siteName(s.site))
        return fail(why, QStringLiteral("no site name"));
    const QJsonValue seq = o.value(QLatin1String("seq"));
    if (!seq.isDouble() || seq.toDouble() < 0 || seq.toDouble() > 9007199254740992.0 ||
        seq.toDouble() != std::floor(seq.toDouble()))
        return fail(why, QStringLiteral("seq is no whole number"));
    s.seq = quint64(seq.toDouble());
    const QJsonValue list = o.value(QLatin1String("alarms"));
    if (!list.isArray() || list.toArray().size() > kAlarmCauses)
        return fail(why, QStringLiteral("alarms is no list of at most %1").arg(kAlarmCauses));
    bool seen[kAlarmCauses] = {};
    for (const QJsonValue &v : list.toArray()) {
        Alarm a;
        if (!readAlarm(v, false, &a, why))
            return false;
        if (seen[int(a.cause)])
            return fail(why, QStringLiteral("%1 is listed twice").arg(QLatin1String(AlarmCauseName(a.cause))));
        seen[int(a.cause)] = true;
        s.alarms << a;
    }
    std::sort(s.alarms.begin(), s.alarms.end(), [](const Alarm &a, const Alarm &b) { return a.cause < b.cause; });
    if (out)
        *out = s;
    return true;
}

const char *AlarmEventName(AlarmEvent::Kind k)
{
    switch (k) {
    case AlarmEvent::Kind::Raised: return "raised";
    case AlarmEvent::Kind::Cleared: return "cleared";
    case AlarmEvent::Kind::Acked: return "acknowledged";
    case AlarmEvent::Kind::Shelved: return "shelved";
    case AlarmEvent::Kind::Unshelved: return "unshelved";
    case AlarmEvent::Kind::ShelveEnded: return "returned from shelving";
    case AlarmEvent::Kind::Suppressed: return "suppressed";
    case AlarmEvent::Kind::Unsuppressed: return "back in service";
    }
    return "?";
}

QString AlarmEventText(AlarmEvent::Kind k)
{
    switch (k) {
    case AlarmEvent::Kind::Raised: return QStringLiteral("発生");
    case AlarmEvent::Kind::Cleared: return QStringLiteral("解除");
    case AlarmEvent::Kind::Acked: return QStringLiteral("確認");
    case AlarmEvent::Kind::Shelved: return QStringLiteral("一時抑制");
    case AlarmEvent::Kind::Unshelved: return QStringLiteral("抑制解除");
    case AlarmEvent::Kind::ShelveEnded: return QStringLiteral("抑制終了");
    case AlarmEvent::Kind::Suppressed: return QStringLiteral("保守中");
    case AlarmEvent::Kind::Unsuppressed: return QStringLiteral("保守解除");
    }
    return QString();
}

AlarmBook::Entry::Entry()
{
    for (int i = 0; i < kAlarmCauses; ++i)
        alarms[size_t(i)].cause = AlarmCause(i);
}

bool AlarmBook::Entry::empty() const
{
    return !suppressed && std::all_of(alarms.begin(), alarms.end(), [](const Alarm &a) { return a.normal(); });
}

AlarmBook::AlarmBook(QObject *parent) : QObject(parent), m_shelfTimer(std::make_unique<WindowTimer>())
{
    m_shelfTimer->onTick = [this] { checkShelves(); };
}

AlarmBook::~AlarmBook()
{
    m_shelfTimer->setEnabled(false);
}

void AlarmBook::setMaxShelveMinutes(int minutes)
{
    m_maxShelveMin = qBound(1, minutes, kMaxShelveMinLimit);
}

AlarmBook::Entry *AlarmBook::entry(const QString &site, bool make)
{
    const auto it = m_sites.find(site);
    if (it != m_sites.end()) {
        // Whoever asks for the entry here may change it: its part of the state file is made again.
        it->second.savedValid = false;
        return &it->second;
    }
    if (!make)
        return nullptr;
    return &m_sites[site];
}

void AlarmBook::settle(const QString &site, Alarm &a, const QDateTime &at, Events &ev)
{
    if (a.suppressed || a.shelved())
        return;
    const auto event = [&](AlarmEvent::Kind k) {
        AlarmEvent e;
        e.kind = k;
        e.site = site;
        e.alarm = a;
        e.at = at;
        ev << e;
    };
    switch (a.core) {
    case AlarmState::Normal:
    case AlarmState::Rtnun:
        if (a.active) {
            a.core = AlarmState::Unack;
            a.raised = at;
            a.cleared = QDateTime();
            a.ackedBy.clear();
            a.ackedAt = QDateTime();
            event(AlarmEvent::Kind::Raised);
        }
        break;
    case AlarmState::Unack:
    case AlarmState::Acked:
        if (!a.active) {
            a.core = a.core == AlarmState::Unack ? AlarmState::Rtnun : AlarmState::Normal;
            a.cleared = at;
            event(AlarmEvent::Kind::Cleared);
        }
        break;
    default: break;
    }
}

void AlarmBook::endShelve(const QString &site, Alarm &a, AlarmEvent::Kind kind, const QString &user,
                          const QDateTime &at, Events &ev)
{
    a.shelvedBy.clear();
    a.shelvedUntil = QDateTime();
    a.reason.clear();
    // Back from the shelf the alarm is judged afresh: a condition that holds is a new alarm.
    a.core = AlarmState::Normal;
    a.raised = QDateTime();
    a.cleared = QDateTime();
    a.ackedBy.clear();
    a.ackedAt = QDateTime();
    AlarmEvent e;
    e.kind = kind;
    e.site = site;
    e.alarm = a;
    e.user = user;
    e.at = at;
    ev << e;
    settle(site, a, at, ev);
}

void AlarmBook::tell(const QString &site, Events &ev)
{
    if (ev.isEmpty())
        return;
    if (Entry *e = entry(site, false))
        e->seq = qMax(e->seq + 1, quint64(qMax<qint64>(0, Now().toMSecsSinceEpoch())));
    // Only a change of a shelf moves the shelf timer: a raise or a clear leaves it, so a
    // reading costs no pass over every site's alarms.
    if (std::any_of(ev.cbegin(), ev.cend(), [](const AlarmEvent &x) {
            return x.kind != AlarmEvent::Kind::Raised && x.kind != AlarmEvent::Kind::Cleared &&
                   x.kind != AlarmEvent::Kind::Acked;
        }))
        armShelves();
    prune();
    const Events told = std::exchange(ev, {});
    for (const AlarmEvent &e : told)
        emit changed(e);
    emit siteChanged(site);
}

void AlarmBook::setCondition(const QString &site, AlarmCause cause, bool active, const QDateTime &at,
                             const QString &value)
{
    // Most readings change no condition: looked at first without marking the site's part of
    // the state file to be made again.
    const auto known = m_sites.find(site);
    if (known != m_sites.end() && known->second.alarms[size_t(cause)].active == active)
        return;
    Entry *e = entry(site, active);
    if (!e)
        return;
    Alarm &a = e->alarms[size_t(cause)];
    if (a.active == active)
        return;
    a.active = active;
    if (active)
        a.value = value.left(kMaxValue);
    Events ev;
    settle(site, a, fixed(at.isValid() ? at : Now()), ev);
    tell(site, ev);
}

quint32 AlarmBook::activeConditions(const QString &site) const
{
    const auto it = m_sites.find(site);
    if (it == m_sites.end())
        return 0;
    quint32 mask = 0;
    for (int i = 0; i < kAlarmCauses; ++i)
        if (it->second.alarms[size_t(i)].active)
            mask |= 1u << i;
    return mask;
}

AlarmAnswer AlarmBook::acknowledge(const QString &site, std::optional<AlarmCause> cause, const QString &user)
{
    AlarmAnswer ans;
    if (user.isEmpty() || user.size() > kMaxUser) {
        ans.reason = QStringLiteral("malformed");
        return ans;
    }
    Entry *e = entry(site, false);
    const QDateTime now = fixedNow();
    Events ev;
    for (int i = 0; e && i < kAlarmCauses; ++i) {
        Alarm &a = e->alarms[size_t(i)];
        if ((cause && a.cause != *cause) || !a.unacknowledged())
            continue;
        a.core = a.core == AlarmState::Unack ? AlarmState::Acked : AlarmState::Normal;
        a.ackedBy = user;
        a.ackedAt = now;
        AlarmEvent x;
        x.kind = AlarmEvent::Kind::Acked;
        x.site = site;
        x.alarm = a;
        x.user = user;
        x.at = now;
        ev << x;
        ++ans.changed;
    }
    ans.ok = ans.changed > 0;
    if (!ans.ok) {
        const Alarm *a = cause ? find(site, *cause) : nullptr;
        if (!cause)
            ans.reason = QStringLiteral("nothing to acknowledge");
        else if (!a || a->state() == AlarmState::Normal)
            ans.reason = QStringLiteral("not active");
        else if (a->state() == AlarmState::Acked)
            ans.reason = QStringLiteral("already acknowledged");
        else if (a->state() == AlarmState::Shelved)
            ans.reason = QStringLiteral("shelved");
        else
            ans.reason = QStringLiteral("suppressed");
    }
    tell(site, ev);
    return ans;
}

AlarmAnswer AlarmBook::shelve(const QString &site, AlarmCause cause, int minutes, const QString &user,
                              const QString &reason)
{
    AlarmAnswer ans;
    if (user.isEmpty() || user.size() > kMaxUser || reason.size() > kMaxReason || minutes < 1)
        ans.reason = QStringLiteral("malformed");
    else if (minutes > m_maxShelveMin)
        ans.reason = QStringLiteral("too long");
    else if (reason.trimmed().isEmpty())
        ans.reason = QStringLiteral("a reason is needed");
    else if (suppressed(site))
        ans.reason = QStringLiteral("suppressed");
    if (!ans.reason.isEmpty())
        return ans;
    Entry *e = entry(site, true);
    Alarm &a = e->alarms[size_t(cause)];
    const QDateTime now = fixedNow();
    a.shelvedBy = user;
    a.shelvedUntil = now.addSecs(qint64(minutes) * 60);
    a.reason = reason;
    Events ev;
    AlarmEvent x;
    x.kind = AlarmEvent::Kind::Shelved;
    x.site = site;
    x.alarm = a;
    x.user = user;
    x.reason = reason;
    x.at = now;
    ev << x;
    ans.ok = true;
    ans.changed = 1;
    tell(site, ev);
    return ans;
}

AlarmAnswer AlarmBook::unshelve(const QString &site, std::optional<AlarmCause> cause, const QString &user)
{
    AlarmAnswer ans;
    if (user.isEmpty() || user.size() > kMaxUser) {
        ans.reason = QStringLiteral("malformed");
        return ans;
    }
    if (suppressed(site)) {
        ans.reason = QStringLiteral("suppressed");
        return ans;
    }
    Entry *e = entry(site, false);
    const QDateTime now = fixedNow();
    Events ev;
    for (int i = 0; e && i < kAlarmCauses; ++i) {
        Alarm &a = e->alarms[size_t(i)];
        if ((cause && a.cause != *cause) || !a.shelved())
            continue;
        endShelve(site, a, AlarmEvent::Kind::Unshelved, user, now, ev);
        ++ans.changed;
    }
    ans.ok = ans.changed > 0;
    if (!ans.ok)
        ans.reason = cause ? QStringLiteral("not shelved") : QStringLiteral("nothing shelved");
    tell(site, ev);
    return ans;
}

void AlarmBook::setSuppressed(const QString &site, bool on, const QString &reason)
{
    Entry *e = entry(site, on);
    if (!e || e->suppressed == on)
        return;
    e->suppressed = on;
    e->suppressReason = on ? reason.left(kMaxReason) : QString();
    const QDateTime now = fixedNow();
    Events ev;
    for (Alarm &a : e->alarms) {
        // Told for the alarms that stood when the site went (or stand beneath it now); one whose
        // condition came meanwhile is simply raised.
        const bool shown = on ? !a.normal() : a.core != AlarmState::Normal || a.shelved();
        a.suppressed = on;
        if (on && shown) {
            AlarmEvent x;
            x.kind = AlarmEvent::Kind::Suppressed;
            x.site = site;
            x.alarm = a;
            x.reason = e->suppressReason;
            x.at = now;
            ev << x;
        }
        if (!on && shown) {
            AlarmEvent x;
            x.kind = AlarmEvent::Kind::Unsuppressed;
            x.site = site;
            x.alarm = a;
            x.at = now;
            ev << x;
        }
        if (!on)
            settle(site, a, now, ev);
    }
    tell(site, ev);
    if (!on)
        checkShelves();
    prune();
}

bool AlarmBook::suppressed(const QString &site) const
{
    const auto it = m_sites.find(site);
    return it != m_sites.end() && it->second.suppressed;
}

void AlarmBook::forget(const QString &site)
{
    m_sites.erase(site);
    armShelves();
}

SiteAlarms AlarmBook::site(const QString &name) const
{
    SiteAlarms s;
    s.site = name;
    const auto it = m_sites.find(name);
    if (it == m_sites.end())
        return s;
    s.seq = it->second.seq;
    for (const Alarm &a : it->second.alarms)
        if (!a.normal()) {
            s.alarms << a;
            if (a.suppressed)
                s.alarms.last().reason = it->second.suppressReason;
        }
    return s;
}

const Alarm *AlarmBook::find(const QString &site, AlarmCause cause) const
{
    const auto it = m_sites.find(site);
    return it == m_sites.end() ? nullptr : &it->second.alarms[size_t(cause)];
}

QStringList AlarmBook::sites() const
{
    QStringList out;
    for (const auto &[name, e] : m_sites)
        out << name;
    return out;
}

int AlarmBook::unacknowledged() const
{
    int n = 0;
    for (const auto &[name, e] : m_sites)
        for (const Alarm &a : e.alarms)
            n += a.unacknowledged();
    return n;
}

void AlarmBook::checkShelves()
{
    const QDateTime now = fixedNow();
    // Told once the book is walked: a listener may act on the book.
    std::vector<std::pair<QString, Events>> due;
    for (auto &[name, e] : m_sites) {
        Events ev;
        for (Alarm &a : e.alarms)
            if (a.shelved() && !a.suppressed && a.shelvedUntil <= now)
                endShelve(name, a, AlarmEvent::Kind::ShelveEnded, QString(), now, ev);
        if (!ev.isEmpty())
            due.emplace_back(name, std::move(ev));
    }
    for (auto &[name, ev] : due)
        tell(name, ev);
    armShelves();
}

void AlarmBook::armShelves()
{
    QDateTime next;
    for (const auto &[name, e] : m_sites)
        for (const Alarm &a : e.alarms)
            if (a.shelved() && !a.suppressed && (!next.isValid() || a.shelvedUntil < next))
                next = a.shelvedUntil;
    if (!next.isValid()) {
        m_shelfTimer->setEnabled(false);
        return;
    }
    // Looked at again at least once a minute, so a clock set forward ends a shelve in time.
    const qint64 ms = qBound(qint64(1), Now().msecsTo(next) + 1, qint64(60000));
    m_shelfTimer->setEnabled(false);
    m_shelfTimer->setInterval(int(ms));
    m_shelfTimer->setEnabled(true);
}

void AlarmBook::prune()
{
    if (m_sites.size() <= size_t(kMaxSites))
        return;
    // A site with nothing to keep is kept (for its seq) only while there is room; past the
    // bound the sites out of service go too, those changed longest ago first.
    for (auto it = m_sites.begin(); it != m_sites.end() && m_sites.size() > size_t(kMaxSites);)
        it = it->second.empty() ? m_sites.erase(it) : std::next(it);
    while (m_sites.size() > size_t(kMaxSites)) {
        auto oldest = m_sites.end();
        for (auto it = m_sites.begin(); it != m_sites.end(); ++it)
            if (it->second.suppressed && (oldest == m_sites.end() || it->second.seq < oldest->second.seq))
                oldest = it;
        if (oldest == m_sites.end())
            break;
        m_sites.erase(oldest);
    }
}

QByteArray AlarmBook::save() const
{
    QByteArray p = "{\"qelvo_alarms\":" + QByteArray::number(kFileVersion) + ",\"saved\":" + jsonTime(Now()) +
                   ",\"sites\":[";
    bool first = true;
    for (const auto &[name, e] : m_sites) {
        if (!first)
            p += ',';
        first = false;
        // A site's part is kept from the last save while nothing of the site changed, so a
        // save costs the sites that changed, not every alarm of the fleet.
        if (!e.savedValid) {
            QByteArray &q = e.savedJson;
            q = "{\"site\":" + JsonString(name) + ",\"seq\":" + QByteArray::number(e.seq) +
                ",\"suppressed\":" + (e.suppressed ? "true" : "false") +
                ",\"suppress_reason\":" + JsonString(e.suppressReason) + ",\"alarms\":[";
            bool firstAlarm = true;
            for (const Alarm &a : e.alarms) {
                if (a.normal())
                    continue;
                if (!firstAlarm)
                    q += ',';
                firstAlarm = false;
                appendAlarmFields(q, a, a.reason);
                q += ",\"core\":\"";
                q += AlarmStateName(a.core);
                q += "\",\"active\":";
                q += a.active ? "true" : "false";
                q += ",\"value\":";
                appendJson(q, a.value);
                q += '}';
            }
            q += "]}";
            e.savedValid = true;
        }
        p += e.savedJson;
    }
    p += "]}\n";
    return p;
}

bool AlarmBook::load(const QByteArray &bytes, QString *why)
{
    m_sites.clear();
    armShelves();
    const auto refuse = [&](const QString &text) {
        m_sites.clear();
        armShelves();
        return fail(why, text);
    };
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return refuse(QStringLiteral("no JSON object (%1 at byte %2)").arg(err.errorString()).arg(err.offset));
    const QJsonObject o = doc.object();
    if (o.value(QLatin1String("qelvo_alarms")).toInt(-1) != kFileVersion)
        return refuse(QStringLiteral("no alarm state of version %1").arg(kFileVersion));
    const QJsonValue sites = o.value(QLatin1String("sites"));
    if (!sites.isArray() || sites.toArray().size() > kMaxSites)
        return refuse(QStringLiteral("sites is no list of at most %1").arg(kMaxSites));
    for (const QJsonValue &sv : sites.toArray()) {
        const QJsonObject so = sv.toObject();
        const QString name = so.value(QLatin1String("site")).toString();
        if (!siteName(name) || m_sites.count(name))
            return refuse(QStringLiteral("a site without a name, or twice"));
        Entry e;
        const QJsonValue seq = so.value(QLatin1String("seq"));
        if (!seq.isDouble() || seq.toDouble() < 0)
            return refuse(QStringLiteral("%1: seq is no whole number").arg(name));
        e.seq = quint64(seq.toDouble());
        e.suppressed = so.value(QLatin1String("suppressed")).toBool();
        QString why2;
        if (!readText(so, "suppress_reason", kMaxReason, &e.suppressReason, &why2))
            return refuse(name + QStringLiteral(": ") + why2);
        const QJsonValue list = so.value(QLatin1String("alarms"));
        if (!list.isArray() || list.toArray().size() > kAlarmCauses)
            return refuse(QStringLiteral("%1: alarms is no list of at most %2").arg(name).arg(kAlarmCauses));
        bool seen[kAlarmCauses] = {};
        for (const QJsonValue &av : list.toArray()) {
            Alarm a;
            if (!readAlarm(av, true, &a, &why2))
                return refuse(name + QStringLiteral(": ") + why2);
            if (seen[int(a.cause)])
                return refuse(QStringLiteral("%1: %2 is listed twice").arg(name, QLatin1String(AlarmCauseName(a.cause))));
            seen[int(a.cause)] = true;
            a.suppressed = e.suppressed;
            const std::optional<AlarmState> told =
                AlarmStateFromName(av.toObject().value(QLatin1String("state")).toString());
            if (!told || *told != a.state())
                return refuse(QStringLiteral("%1: %2's state does not agree with the rest of it")
                                  .arg(name, QLatin1String(AlarmCauseName(a.cause))));
            e.alarms[size_t(a.cause)] = a;
        }
        for (Alarm &a : e.alarms)
            a.suppressed = e.suppressed;
        m_sites[name] = e;
    }
    armShelves();
    return true;
}
