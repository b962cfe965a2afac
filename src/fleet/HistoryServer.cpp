#include "fleet/HistoryServer.h"

#include "fleet/AlarmBook.h"
#include "fleet/Watcher.h"
#include "platform/Clock.h"
#include "platform/FilePieces.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {
// "2026-12-09T09:00:00+09:00" (an offset, or local time without one), or milliseconds since
// the epoch; invalid for anything else.
QDateTime timeOf(const QJsonValue &v)
{
    if (v.isDouble()) {
        const double ms = v.toDouble();
        if (ms < 0 || ms > 32503680000000.0 || ms != qint64(ms))
            return {};
        return QDateTime::fromMSecsSinceEpoch(qint64(ms));
    }
    if (!v.isString() || v.toString().size() > 40)
        return {};
    return QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
}

// A data line of the watcher's CSV: "000001, 2026/12/08, 13:00:46, 02.50,V, 00011000".
// Its time, and the reading as the answer gives it; false for any other line.
bool dataLine(QByteArrayView line, QDateTime &at, QByteArray &json)
{
    if (line.isEmpty() || line.front() < '0' || line.front() > '9')
        return false;
    const QList<QByteArray> f = QByteArray(line.data(), line.size()).trimmed().split(',');
    if (f.size() != 6)
        return false;
    at = QDateTime::fromString(QString::fromLatin1(f[1].trimmed() + ' ' + f[2].trimmed()),
                               QStringLiteral("yyyy/MM/dd HH:mm:ss"));
    if (!at.isValid())
        return false;
    const QByteArray value = f[3].trimmed(), unit = f[4].trimmed(), bits = f[5].trimmed();
    static const QRegularExpression number(QStringLiteral("^-?[0-9]+(\\.[0-9]+)?$"));
    static const QRegularExpression eight(QStringLiteral("^[01]{8}$"));
    if (!number.match(QString::fromLatin1(value)).hasMatch() || unit.size() > 4 ||
        !eight.match(QString::fromLatin1(bits)).hasMatch())
        return false;
    json = "{\"time\":\"" + IsoTimeText(at).toLatin1() + "\",\"value\":\"" + value + "\",\"unit\":" +
           JsonString(QString::fromLatin1(unit)) + ",\"bits\":\"" + bits + "\"}";
    return true;
}
} // namespace

HistoryServer::HistoryServer(const QString &prefix, const QString &logFolder, std::function<bool(const QString &)> known,
                             Publish publish, QObject *parent)
    : QObject(parent), m_prefix(prefix), m_logFolder(logFolder), m_known(std::move(known)),
      m_publish(std::move(publish)), m_timer(std::make_unique<WindowTimer>())
{
    m_timer->setInterval(kTickMs);
    m_timer->onTick = [this] { tick(); };
    m_tokensAtMs = clockService().elapsedMs();
}

HistoryServer::~HistoryServer() { m_timer->setEnabled(false); }

QString HistoryServer::requestFilter() const { return m_prefix + QStringLiteral("/+/history/request"); }

void HistoryServer::message(const QString &topic, const QByteArray &payload, bool retained)
{
    const QString head = m_prefix + QLatin1Char('/');
    if (!topic.startsWith(head) || !topic.endsWith(QLatin1String("/history/request")))
        return;
    const QString site = topic.mid(head.size()).chopped(16);
    if (site.isEmpty() || site.contains(QLatin1Char('/')) || site.size() > 40)
        return;
    if (retained) {
        ++m_counts.retained;
        return;
    }
    // The rate first: a flood costs no parse.
    const qint64 now = clockService().elapsedMs();
    m_tokens = qMin<double>(kBurst, m_tokens + double(now - m_tokensAtMs) * kPerSecond / 1000.0);
    m_tokensAtMs = now;
    if (m_tokens < 1) {
        ++m_counts.limited;
        return;
    }
    m_tokens -= 1;
    if (payload.size() > kMaxRequestBytes) {
        ++m_counts.oversized;
        return;
    }
    request(site, payload);
}

void HistoryServer::request(const QString &site, const QByteArray &payload)
{
    QJsonParseError pe{};
    const QJsonObject o = QJsonDocument::fromJson(payload, &pe).object();
    const QJsonValue idV = o.value(QLatin1String("id")), replyV = o.value(QLatin1String("reply"));
    const QString reply = replyV.toString();
    static const QRegularExpression topicChars(QStringLiteral("^[^+#\\x00-\\x1f]+$"));
    if (pe.error != QJsonParseError::NoError || !idV.isString() || idV.toString().size() > kMaxId ||
        !replyV.isString() || reply.size() > kMaxReply || !reply.startsWith(m_prefix + QStringLiteral("/history/")) ||
        reply.size() <= m_prefix.size() + 9 || !topicChars.match(reply).hasMatch()) {
        ++m_counts.malformed;
        return;
    }
    const QByteArray id = idV.toString().toUtf8();
    const QDateTime from = timeOf(o.value(QLatin1String("from"))), to = timeOf(o.value(QLatin1String("to")));
    if (!from.isValid() || !to.isValid() || to < from)
        return refuse(site, id, reply, QStringLiteral("from and to are no span"));
    if (from.msecsTo(to) > kMaxSpanMs)
        return refuse(site, id, reply, QStringLiteral("span longer than 7 days"));
    if (!m_known || !m_known(site))
        return refuse(site, id, reply, QStringLiteral("unknown site"));
    if (int(m_jobs.size()) >= kMaxJobs)
        return refuse(site, id, reply, QStringLiteral("busy"));
    Job j;
    j.site = site;
    j.id = id;
    j.reply = reply;
    // The files' times are local: the days the span touches, each a file.
    j.from = from.toLocalTime();
    j.to = to.toLocalTime();
    for (QDate d = j.from.date(); d <= j.to.date(); d = d.addDays(1))
        j.files << m_logFolder + QLatin1Char('/') + site + QStringLiteral("/qlv") + d.toString(QStringLiteral("yyyyMMdd")) +
                       QStringLiteral(".csv");
    m_jobs.push_back(std::move(j));
    if (!m_timer->Enabled())
        m_timer->setEnabled(true);
}

void HistoryServer::refuse(const QString &site, const QByteArray &id, const QString &reply, const QString &why)
{
    ++m_counts.refused;
    m_publish(reply, "{\"id\":" + JsonString(QString::fromUtf8(id)) + ",\"site\":" + JsonString(site) +
                         ",\"error\":" + JsonString(why) + '}');
}

// One chunk of the job: the next lines of its files, up to kChunkReadings readings or
// kPieceBytes read; false when the chunk could not be published (tried again next tick).
bool HistoryServer::step(Job &j)
{
    QByteArray readings;
    int n = 0;
    qint64 readBytes = 0;
    while (!j.done && n < kChunkReadings && readBytes < kPieceBytes && j.file < j.files.size()) {
        QByteArray piece;
        if (!ReadFileAt(j.files[j.file], j.offset, kPieceBytes, piece) || piece.isEmpty()) {
            // No such day, or its end: the next file.
            ++j.file;
            j.offset = 0;
            continue;
        }
        readBytes += piece.size();
        // Whole lines only; a piece without a line end is a line longer than any log line.
        qsizetype end = piece.lastIndexOf('\n');
        if (end < 0) {
            if (piece.size() < kPieceBytes) {
                ++j.file; // a last line being written, or cut: left out
                j.offset = 0;
            } else {
                j.offset += piece.size();
            }
            continue;
        }
        qsizetype pos = 0;
        while (pos <= end && n < kChunkReadings) {
            const qsizetype nl = piece.indexOf('\n', pos);
            const QByteArrayView line(piece.constData() + pos, nl - pos);
            pos = nl + 1;
            QDateTime at;
            QByteArray json;
            if (!dataLine(line, at, json) || at < j.from)
                continue;
            if (at > j.to) {
                j.done = true;
                break;
            }
            if (n)
                readings += ',';
            readings += json;
            ++n;
        }
        j.offset += pos;
    }
    if (j.file >= j.files.size())
        j.done = true;
    // Lines before the span only: nothing to send yet.
    if (n == 0 && !j.done)
        return true;
    QByteArray p = "{\"id\":" + JsonString(QString::fromUtf8(j.id)) + ",\"site\":" + JsonString(j.site) +
                   ",\"seq\":" + QByteArray::number(j.seq) + ",\"last\":" + (j.done ? "true" : "false");
    if (j.done)
        p += ",\"count\":" + QByteArray::number(j.count + n);
    p += ",\"readings\":[" + readings + "]}";
    if (!m_publish(j.reply, p))
        return false;
    j.count += n;
    ++j.seq;
    return true;
}

void HistoryServer::tick()
{
    if (m_jobs.empty()) {
        m_timer->setEnabled(false);
        return;
    }
    // One chunk of the first job, which then goes to the end of the line.
    Job j = std::move(m_jobs.front());
    m_jobs.pop_front();
    const qint64 offset = j.offset, count = j.count;
    const int file = j.file;
    if (!step(j)) {
        // Not published: the same chunk again at the next tick.
        j.offset = offset;
        j.file = file;
        j.count = count;
        j.done = false;
        m_jobs.push_front(std::move(j));
        return;
    }
    if (j.done)
        ++m_counts.served;
    else
        m_jobs.push_back(std::move(j));
    if (m_jobs.empty())
        m_timer->setEnabled(false);
}
