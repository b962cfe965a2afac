#include "fleet/SettingsAudit.h"

#include "fleet/Watcher.h"
#include "settings/modCompare.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cctype>
#include <memory>

namespace {
QString cellName(int a) { return QStringLiteral("%1").arg(a, 2, 16, QLatin1Char('0')).toUpper(); }

// A side's value as the comparison window shows it.
QString shown(const QString &value) { return value.isEmpty() ? QStringLiteral("-") : value; }

bool sameByte(const MemCell *a, const MemCell *b, int cell)
{
    return a[cell].data().compare(b[cell].data(), Qt::CaseInsensitive) == 0;
}
} // namespace

QByteArray CellsHex(const MemCell *cells)
{
    QByteArray hex;
    hex.reserve(2 * kSettingsCells);
    for (int a = 0; a < kSettingsCells; ++a)
        hex += QByteArray(cells[a].Data.data(), 2).toUpper();
    return hex;
}

bool CellsFromHex(const QByteArray &hex, MemCell *cells)
{
    if (hex.size() != 2 * kSettingsCells)
        return false;
    for (char c : hex)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    // Upper case, as a read fills the image and the .qvd reader gives it.
    const QByteArray upper = hex.toUpper();
    for (int a = 0; a < kSettingsCells; ++a) {
        cells[a].setAddress(QByteArray::number(a, 16).rightJustified(4, '0').toUpper());
        cells[a].setData(QByteArrayView(upper.constData() + 2 * a, 2));
    }
    return true;
}

SettingsAudit AuditSettings(const QByteArray &goldenCells, const MemCell *controller)
{
    SettingsAudit audit;
    const std::unique_ptr<MemCell[]> golden(new MemCell[kSettingsCells]);
    if (!CellsFromHex(goldenCells, golden.get()))
        return audit;
    QList<SettingItem> mine, theirs;
    FileError e;
    if (SettingsOf(golden.get(), mine, e) && SettingsOf(controller, theirs, e)) {
        for (const SettingDiff &d : DiffSettings(mine, theirs)) {
            const quint64 cells = (d.inA ? d.itemA.cells : 0) | (d.inB ? d.itemB.cells : 0);
            int first = -1;
            for (int a = 0; a < kSettingsCells && first < 0; ++a)
                if (((cells >> a) & 1) && !sameByte(golden.get(), controller, a))
                    first = a;
            for (int a = 0; a < kSettingsCells && first < 0; ++a)
                if ((cells >> a) & 1)
                    first = a;
            audit.differences.append({first < 0 ? QString() : cellName(first), d.name, shown(d.a), shown(d.b)});
        }
        return audit;
    }
    // Bytes that no setting shows: each cell that differs, by its address.
    for (int a = 0; a < kSettingsCells; ++a)
        if (!sameByte(golden.get(), controller, a))
            audit.differences.append({cellName(a), QStringLiteral("ｱﾄﾞﾚｽ ") + cellName(a), golden[a].data().toUpper(),
                                      controller[a].data().toUpper()});
    return audit;
}

QByteArray SettingsAuditPayload(const QString &site, const QDateTime &readAt, const QString &golden,
                                const SettingsAudit &audit, const QByteArray &controllerHex)
{
    QJsonArray list;
    for (const AuditDifference &d : audit.differences)
        list.append(QJsonObject{{QStringLiteral("cell"), d.cell},
                                {QStringLiteral("name"), d.name},
                                {QStringLiteral("golden"), d.golden},
                                {QStringLiteral("controller"), d.controller}});
    const QJsonObject o{{QStringLiteral("site"), site},
                        {QStringLiteral("time"), IsoTimeText(readAt)},
                        {QStringLiteral("golden"), golden},
                        {QStringLiteral("equal"), audit.equal()},
                        {QStringLiteral("differences"), list},
                        {QStringLiteral("controller"), QString::fromLatin1(controllerHex)}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

bool ParseSettingsAudit(const QByteArray &payload, SettingsAuditMessage *out)
{
    if (payload.size() > kMaxSettingsMessageBytes)
        return false;
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &pe);
    if (pe.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    const QJsonObject o = doc.object();
    const QJsonValue equal = o.value(QLatin1String("equal")), list = o.value(QLatin1String("differences"));
    if (!equal.isBool() || !list.isArray() || list.toArray().size() > kMaxAuditDifferences)
        return false;
    SettingsAuditMessage m;
    m.site = o.value(QLatin1String("site")).toString().left(100);
    m.time = QDateTime::fromString(o.value(QLatin1String("time")).toString(), Qt::ISODateWithMs);
    m.golden = o.value(QLatin1String("golden")).toString().left(1000);
    m.equal = equal.toBool();
    for (const QJsonValue &v : list.toArray()) {
        const QJsonObject d = v.toObject();
        m.differences.append({d.value(QLatin1String("cell")).toString().left(8),
                              d.value(QLatin1String("name")).toString().left(100),
                              d.value(QLatin1String("golden")).toString().left(100),
                              d.value(QLatin1String("controller")).toString().left(100)});
    }
    const QByteArray hex = o.value(QLatin1String("controller")).toString().toLatin1();
    const std::unique_ptr<MemCell[]> cells(new MemCell[kSettingsCells]);
    if (CellsFromHex(hex, cells.get()))
        m.controllerHex = hex.toUpper();
    // A message that says equal and lists differences is no message of the watcher's.
    if (m.equal != m.differences.isEmpty())
        return false;
    *out = m;
    return true;
}
