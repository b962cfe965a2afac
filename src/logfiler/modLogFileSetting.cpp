#include "logfiler/modLogFileSetting.h"

#include "core/modMain1.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"

#include <QRegularExpression>

const QString kNoEndTime = QStringLiteral("----/--/-- --:--:--");

LogFileSetting DefaultLogFileSetting()
{
    LogFileSetting s;
    s.strInterval = QStringLiteral("00:00:10");
    s.lngCountMax = 100;
    s.strEndTime = kNoEndTime;
    return s;
}

namespace {
QString lfstPath() { return DataFile(QStringLiteral("lfst.ini")); }

// The numbers as the settings window writes them: a count up to 65535 (0 is what it writes
// when the count was never set), and 0 or 1 for the end mode and the check box. A number
// outside its range (changed by hand) makes the file unreadable instead of being wrapped
// into another setting.
struct NumberRange {
    qint64 min, max;
};
constexpr NumberRange kCountRange{0, 65535};
constexpr NumberRange kFlagRange{0, 1};
} // namespace

bool LoadLogFileSetting(LogFileSetting &s)
{
    auto fail = [](const FileError &e) {
        MsgBox(ErrTextErrNo(e), vbOKOnly + vbExclamation, QStringLiteral("LoadLogFileSetting"));
        return false;
    };
    QByteArray bytes;
    const FileError e = ReadWholeFile(lfstPath(), bytes);
    if (e.failed())
        return fail(e);
    QuotedItemReader r(bytes);
    QByteArray item;
    auto text = [&](QString &field) {
        if (!r.next(item))
            return false;
        field = SjisDecode(item);
        return true;
    };
    auto number = [&](auto &field, NumberRange range, FileError &why) {
        if (!r.next(item)) {
            why = MakeError(errInputPastEnd);
            return false;
        }
        bool ok = false;
        const qint64 n = QString::fromLatin1(item).trimmed().toLongLong(&ok);
        if (!ok) {
            why = MakeError(errTypeMismatch);
            return false;
        }
        if (n < range.min || n > range.max) {
            why = MakeError(errOverflow);
            return false;
        }
        field = std::remove_reference_t<decltype(field)>(n);
        return true;
    };
    FileError why = MakeError(errInputPastEnd);
    if (!text(s.strInterval) || !number(s.lngCountMax, kCountRange, why) || !text(s.strEndTime) ||
        !number(s.intEndMode, kFlagRange, why) || !number(s.intAutoName, kFlagRange, why) || !text(s.strFolder) ||
        !text(s.strFileName))
        return fail(why);
    return true;
}

QByteArray LogFileSettingBytes(const LogFileSetting &s)
{
    auto quoted = [](const QString &t) { return QLatin1Char('"') + t + QLatin1Char('"'); };
    const QStringList lines{quoted(s.strInterval), QString::number(s.lngCountMax), quoted(s.strEndTime),
                            QString::number(s.intEndMode), QString::number(s.intAutoName), quoted(s.strFolder),
                            quoted(s.strFileName)};
    return SjisLines(lines);
}

FileError SaveLogFileSetting(const LogFileSetting &s) { return WriteWholeFile(lfstPath(), LogFileSettingBytes(s)); }

QString MakeLogFileName() { return QStringLiteral("qlv") + Now().toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".csv"); }

QDateTime LogEndDateTime(const QString &text)
{
    static const QRegularExpression form(
        QStringLiteral("^ *([0-9]{4})/([0-9]{1,2})/([0-9]{1,2}) +([0-9]{1,2}):([0-9]{1,2}):([0-9]{1,2}) *$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return QDateTime();
    auto n = [&m](int i) { return m.captured(i).toInt(); };
    const QDate d(n(1), n(2), n(3));
    const QTime t(n(4), n(5), n(6));
    if (!d.isValid() || !t.isValid())
        return QDateTime();
    return QDateTime(d, t);
}

QString LogSettingBadChar(const QString &text)
{
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString c = text.mid(i, n);
        // Held as it stands: it comes back from the file as the same character.
        bool ok = false;
        const QByteArray bytes = SjisEncode(c, &ok);
        if (c == QLatin1String("\"") || !ok || SjisDecode(bytes) != c)
            return c;
        i += n;
    }
    return QString();
}

bool CheckLogEndTime(const LogFileSetting &s)
{
    if (s.intEndMode != 1)
        return true;
    const QDateTime end = LogEndDateTime(s.strEndTime);
    if (!end.isValid()) {
        // Not a time at all: said so, not taken for one that has passed.
        MsgBox(QStringLiteral("設定された終了時刻「") + s.strEndTime + QStringLiteral("」は日時として読み取れません。") + vbCrLf +
                   QStringLiteral("設定を確認してください。"),
               vbOKOnly + vbExclamation, QStringLiteral("開始"));
        return false;
    }
    QDateTime now = Now();
    now.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
    if (now < end)
        return true;
    MsgBox(QStringLiteral("設定された現在時刻が終了時刻を超えているか、同じです。") + vbCrLf + QStringLiteral("設定を確認してください。"),
           vbOKOnly + vbExclamation, QStringLiteral("開始"));
    return false;
}
