#include "fleet/HistoryFetch.h"

#include "fleet/AlarmBook.h"
#include "fleet/SiteBoard.h"
#include "logfiler/modLogReader.h"
#include "platform/Clock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

bool ParseHistoryReading(const QJsonValue &v, HistoryReading &out)
{
    const QJsonObject o = v.toObject();
    const QString time = o.value(QLatin1String("time")).toString();
    if (time.isEmpty() || time.size() > 40)
        return false;
    const QDateTime at = QDateTime::fromString(time, Qt::ISODateWithMs);
    if (!at.isValid())
        return false;
    out = HistoryReading();
    out.ms = at.toMSecsSinceEpoch();
    // The value as the log writes it ("02.50"); none makes a reading without a value.
    bool ok = false;
    const QString text = o.value(QLatin1String("value")).toString();
    const double value = text.size() <= 16 ? text.toDouble(&ok) : 0.0;
    if (ok && std::isfinite(value))
        out.value = quint16(qBound(0.0, std::round(value * 100) + kHundredthsZero, 65535.0));
    else
        out.flags |= TrendSeries::NoValue;
    // The outputs as eight binary digits, ch1 first.
    const QString bits = o.value(QLatin1String("bits")).toString();
    if (bits.size() == 8) {
        for (int i = 0; i < 8; ++i) {
            if (bits[i] == QLatin1Char('1'))
                out.outputs |= quint8(1 << i);
            else if (bits[i] != QLatin1Char('0'))
                return false;
        }
    } else {
        out.flags |= TrendSeries::NoOutputs;
    }
    return true;
}

void MergeSiteHistory(TrendSeries &series, const std::vector<HistoryReading> &older, qint64 cutMs)
{
    constexpr quint8 kept = TrendSeries::NoValue | TrendSeries::NoOutputs;
    TrendSeries fresh = series.summarised() ? TrendSeries(series.summarising()) : TrendSeries();
    for (const HistoryReading &r : older)
        if (r.ms < cutMs)
            fresh.append(r.ms, r.value, r.outputs, r.flags & kept);
    // The live readings from the cut on are the exact stretch: they came after the request.
    for (qint64 i = 0; i < series.size(); ++i) {
        const TrendSeries::Reading r = series.at(i);
        if (r.written >= cutMs)
            fresh.append(r.written, r.value, r.outputs, r.flags & kept);
    }
    // The bounds of a site's history, as each live reading keeps them.
    if (!fresh.isEmpty() && fresh.firstMs() < fresh.lastMs() - SiteBoard::kHistoryMs)
        fresh.dropBefore(fresh.lastMs() - SiteBoard::kHistoryMs);
    fresh.keepAtMost(SiteBoard::kHistoryMaxReadings);
    if (fresh.stepCount() > TrendSeries::kMaxSteps)
        fresh.keepAtMost(fresh.size() - fresh.steps().front().index);
    series = std::move(fresh);
}

HistoryFetch::HistoryFetch(const QString &prefix, const QString &reply, Publish publish, QObject *parent)
    : QObject(parent), m_prefix(prefix), m_reply(reply), m_publish(std::move(publish)),
      m_timer(std::make_unique<WindowTimer>())
{
    m_timer->setInterval(int(kMergeEveryMs));
    m_timer->onTick = [this] { tick(); };
}

HistoryFetch::~HistoryFetch() { m_timer->setEnabled(false); }

QString HistoryFetch::localText(const QString &shown)
{
    return QStringLiteral("%1: 履歴は一覧を開いてからの受信分です (ｻｰﾋﾞｽの履歴なし)").arg(shown);
}

bool HistoryFetch::ask(const QString &site, const QString &shown, std::shared_ptr<TrendSeries> series)
{
    if (!series)
        return false;
    // Asked again: the fetch before it ends (its late chunks are foreign now).
    for (size_t i = 0; i < m_fetches.size(); ++i)
        if (m_fetches[i].site == site) {
            m_fetches.erase(m_fetches.begin() + qint64(i));
            break;
        }
    if (int(m_fetches.size()) >= kMaxFetches)
        m_fetches.erase(m_fetches.begin());
    Fetch f;
    f.site = site;
    f.shown = shown;
    f.series = series;
    // A whole second: the log's times are whole seconds (see the header).
    f.cutMs = Now().toMSecsSinceEpoch() / 1000 * 1000;
    f.fromMs = f.cutMs - kSpanMs;
    f.id = "v" + QByteArray::number(f.cutMs) + '-' + QByteArray::number(++m_nextId);
    f.heardMs = clockService().elapsedMs();
    const QByteArray request = "{\"id\":\"" + f.id + "\",\"from\":" + QByteArray::number(f.fromMs) +
                               ",\"to\":" + QByteArray::number(f.cutMs - 1) + ",\"reply\":" +
                               JsonString(m_reply) + '}';
    if (!m_publish || !m_publish(m_prefix + QLatin1Char('/') + site + QStringLiteral("/history/request"), request)) {
        emit told(QStringLiteral("%1: 履歴を要求できません (表示は一覧を開いてからの受信分)").arg(shown));
        return false;
    }
    m_fetches.push_back(std::move(f));
    m_timer->setEnabled(true);
    emit told(QStringLiteral("%1: 過去24時間の履歴を取得中").arg(shown));
    return true;
}

void HistoryFetch::message(const QString &topic, const QByteArray &payload, bool retained)
{
    if (retained || topic != m_reply || payload.size() > kMaxAnswerBytes) {
        ++m_ignored;
        return;
    }
    const QJsonObject o = QJsonDocument::fromJson(payload).object();
    const QString id = o.value(QLatin1String("id")).toString();
    size_t at = 0;
    while (at < m_fetches.size() && (id.isEmpty() || QString::fromLatin1(m_fetches[at].id) != id))
        ++at;
    if (at == m_fetches.size() || o.value(QLatin1String("site")).toString() != m_fetches[at].site) {
        ++m_ignored; // another view's, one given up, or no answer at all
        return;
    }
    Fetch &f = m_fetches[at];
    if (o.contains(QLatin1String("error"))) {
        finish(at, QStringLiteral("%1: 履歴を取得できません (%2) (表示は一覧を開いてからの受信分)")
                       .arg(f.shown, o.value(QLatin1String("error")).toString().left(80)));
        return;
    }
    const QJsonValue seqV = o.value(QLatin1String("seq"));
    const QJsonValue readings = o.value(QLatin1String("readings"));
    if (!seqV.isDouble() || seqV.toDouble() < f.nextSeq || seqV.toDouble() > kMaxChunks || !readings.isArray()) {
        ++m_ignored; // a chunk taken already (delivered again), or none
        return;
    }
    f.nextSeq = seqV.toInt() + 1;
    f.heardMs = clockService().elapsedMs();
    ++f.chunks;
    bool full = false;
    for (const QJsonValue &v : readings.toArray()) {
        HistoryReading r;
        if (!ParseHistoryReading(v, r) || r.ms < f.fromMs || r.ms >= f.cutMs)
            continue;
        if (qint64(f.older.size()) >= kMaxReadings) {
            full = true;
            break;
        }
        f.older.push_back(r);
        f.olderMaxMs = qMax(f.olderMaxMs, r.ms);
    }
    f.dirty = true;
    if (o.value(QLatin1String("last")).toBool()) {
        merge(f, true);
        finish(at, QStringLiteral("%1: 過去24時間の履歴 %2件").arg(f.shown).arg(f.older.size()));
    } else if (full || f.chunks >= kMaxChunks) {
        merge(f);
        finish(at, QStringLiteral("%1: 履歴が多すぎます (%2件まで表示)").arg(f.shown).arg(f.older.size()));
    } else if (f.mergedMs < 0 || f.heardMs - f.mergedMs >= kMergeEveryMs) {
        merge(f);
    }
}

void HistoryFetch::merge(Fetch &f, bool complete)
{
    f.mergedMs = clockService().elapsedMs();
    f.dirty = false;
    const std::shared_ptr<TrendSeries> s = f.series.lock();
    // Nothing older came: the series stays as the live readings made it.
    if (!s || f.older.empty())
        return;
    // The whole answer: the log holds every reading before the request. Until then (and when
    // it broke off), the live readings after the newest second answered stay too.
    const qint64 cut = complete ? f.cutMs : qMin(f.cutMs, f.olderMaxMs / 1000 * 1000 + 1000);
    MergeSiteHistory(*s, f.older, cut);
    emit merged(s.get());
}

void HistoryFetch::finish(size_t index, const QString &text)
{
    m_fetches.erase(m_fetches.begin() + qint64(index));
    if (m_fetches.empty())
        m_timer->setEnabled(false);
    emit told(text);
}

void HistoryFetch::tick()
{
    const qint64 now = clockService().elapsedMs();
    for (size_t i = 0; i < m_fetches.size();) {
        Fetch &f = m_fetches[i];
        if (now - f.heardMs >= kQuietMs) {
            if (f.chunks == 0) {
                finish(i, QStringLiteral("%1: ｻｰﾋﾞｽから履歴の応答がありません (表示は一覧を開いてからの受信分)").arg(f.shown));
            } else {
                merge(f);
                finish(i, QStringLiteral("%1: 履歴の応答が途絶えました (%2件まで表示)").arg(f.shown).arg(f.older.size()));
            }
            continue;
        }
        if (f.dirty && now - f.mergedMs >= kMergeEveryMs)
            merge(f);
        ++i;
    }
    if (m_fetches.empty())
        m_timer->setEnabled(false);
}
