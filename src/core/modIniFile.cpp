#include "core/modIniFile.h"

#include "core/modMain1.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/Geometry.h"
#include "platform/TextFile.h"

namespace {
qint32 s_samplingTime = 1000;
FormPos s_formPos[31];
qint16 s_formPosDefault = 0;
} // namespace

qint16 g_intCommPort = 100;
const qint32 &g_lngSamplingTime = s_samplingTime;
const FormPos (&g_FormPos)[31] = s_formPos;
const qint16 &g_intFormPosDefault = s_formPosDefault;

void g_subSamplingTimeSet(qint32 ms) { s_samplingTime = ms; }

void g_subFormPosSet(int id, const FormPos &pos)
{
    if (id >= 0 && id < 31)
        s_formPos[id] = pos;
}

void g_subFormPosDefaultSet(qint16 fallback) { s_formPosDefault = fallback; }

// ---------------------------------------------------------------- qvo.ini

bool g_funcIniFileLoad()
{
    auto fail = [](const FileError &e) {
        MsgBox(ErrTextNumberFirst(e), vbOKOnly + vbCritical,
               QStringLiteral("初期化ﾌｧｲﾙ Load"));
        return false;
    };
    QByteArray bytes;
    FileError e = ReadWholeFile(DataFile(QStringLiteral("qvo.ini")), bytes);
    if (e.failed())
        return fail(e);
    QuotedItemReader r(bytes);
    QByteArray items[3];
    for (QByteArray &item : items) {
        if (!r.next(item))
            return fail(MakeError(errInputPastEnd));
    }
    qint32 port = 0, sampling = 0;
    if (!HexToLong(QString::fromLatin1(items[0]), port))
        return fail(MakeError(errTypeMismatch));
    g_intCommPort = qint16(port);
    if (!HexToLong(QString::fromLatin1(items[1]), sampling))
        return fail(MakeError(errTypeMismatch));
    // The settings dialog only writes 20 to 2000 ms; a file changed by hand to anything else
    // would give a poll timer that never ticks (0) or one the controller cannot follow, so
    // such a value starts as the default.
    s_samplingTime = sampling >= 20 && sampling <= 2000 ? sampling : 1000;
    g_subUserFileSet(SjisDecode(items[2]));
    return true;
}

QByteArray IniFileBytes(qint16 port, qint32 samplingMs, const QString &userFile)
{
    // A path with characters Shift_JIS cannot hold is written as closely as it can be.
    return SjisLines({HexPad(port, 2), HexPad(samplingMs, 4), userFile});
}

bool g_funcIniFileSave(qint16 port)
{
    const QByteArray bytes = IniFileBytes(port, g_lngSamplingTime, g_strUserFile);
    const QString path = DataFile(QStringLiteral("qvo.ini"));
    // The file already says exactly this: nothing to write.
    QByteArray old;
    if (!ReadWholeFile(path, old).failed() && old == bytes)
        return true;
    const FileError e = WriteWholeFile(path, bytes);
    if (e.failed()) {
        MsgBox(ErrTextNumberFirst(e), vbOKOnly + vbCritical,
               QStringLiteral("初期化ﾌｧｲﾙ Save"));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- frmst.tmp

FormPos FormPosFromPx(const QRect &r, qint32 state)
{
    return FormPos{PxToTwips(r.height()), PxToTwips(r.x()), PxToTwips(r.y()), PxToTwips(r.width()), state};
}

QRect FormPosToPx(const FormPos &p)
{
    return QRect(TwipsToPx(p.Left), TwipsToPx(p.Top), TwipsToPx(p.Width), TwipsToPx(p.Height));
}

QString FormPosRecord(int id, const FormPos &p)
{
    return HexPad(id, 2) + QLatin1Char(',') + HexPad(p.Height, 8) + QLatin1Char(',') + HexPad(p.Left, 8) +
           QLatin1Char(',') + HexPad(p.Top, 8) + QLatin1Char(',') + HexPad(p.Width, 8) + QLatin1Char(',') +
           HexPad(p.State, 2);
}

static void clearFormPos()
{
    for (FormPos &p : s_formPos)
        p = FormPos();
}

bool g_funcFormPosLoad()
{
    const QString caption = QStringLiteral("ﾌｫｰﾑ表示位置情報読み込み");
    FormPos table[31];
    bool bad = false;
    QByteArray bytes;
    // Each step that can fail offers Retry, which repeats it.
    auto runtimeError = [&](const FileError &e) {
        const QString text = QStringLiteral("ﾌｧｲﾙの読み込みでｴﾗｰがありました。") + vbCrLf + ErrTextErrorNo(e) +
                             QStringLiteral("設定ﾌｧｲﾙが壊れているかﾌﾟﾛｸﾞﾗﾑﾌｫﾙﾀﾞに存在しない可能性があります。") + vbCrLf +
                             vbCrLf + QStringLiteral("[再試行(R)] = 再試行 / [ｷｬﾝｾﾙ] = ﾌﾟﾛｸﾞﾗﾑは初期値で画面を表示します。");
        return MsgBox(text, vbRetryCancel + vbCritical, caption) == vbRetry;
    };
    auto giveUp = [] {
        g_subFormPosDefaultPlaces();
        return false;
    };
    // A failed step offers Retry, which reads the file again.
    for (;;) {
        FileError e = ReadWholeFile(DataFile(QStringLiteral("frmst.tmp")), bytes);
        if (!e.failed()) {
            bad = false;
            QuotedItemReader r(bytes);
            for (int id = 0; id <= 30 && !bad; ++id) {
                QByteArray item;
                if (!r.next(item)) {
                    e = MakeError(errInputPastEnd);
                    break;
                }
                const QString rec = QString::fromLatin1(item);
                if (rec.size() != 41) {
                    bad = true;
                    break;
                }
                static const int pos[6] = {0, 3, 12, 21, 30, 39};
                static const int len[6] = {2, 8, 8, 8, 8, 2};
                qint32 v[6] = {};
                for (int f = 0; f < 6; ++f) {
                    if (!HexToLong(rec.mid(pos[f], len[f]), v[f])) {
                        bad = true;
                        v[f] = 0;
                    }
                }
                table[id] = FormPos{v[1], v[2], v[3], v[4], v[5]};
            }
        }
        if (!e.failed())
            break;
        if (!runtimeError(e))
            return giveUp();
    }
    if (!bad) {
        for (int i = 0; i < 31; ++i)
            s_formPos[i] = table[i];
        s_formPosDefault = 0;
        return true;
    }
    MsgBox(QStringLiteral("ﾌｧｲﾙの読み込みでｴﾗｰがありました。") + vbCrLf +
               QStringLiteral("ﾌﾟﾛｸﾞﾗﾑが予期しない値が設定ﾌｧｲﾙに書かれていた可能性があります。") + vbCrLf +
               QStringLiteral("ﾌﾟﾛｸﾞﾗﾑは初期値で画面を表示します。"),
           vbOKOnly + vbCritical, caption);
    g_funcFormPosSave();
    return giveUp();
}

void g_subFormPosDefaultPlaces()
{
    clearFormPos();
    s_formPosDefault = -1;
}

QByteArray FormPosFileBytes(const FormPos (&table)[31])
{
    QStringList lines;
    for (int id = 0; id <= 30; ++id)
        lines << QLatin1Char('"') + FormPosRecord(id, table[id]) + QLatin1Char('"');
    return SjisLines(lines);
}

bool g_funcFormPosSave()
{
    for (int id = 0; id <= 30; ++id) {
        if (g_intFormOpen[id] == -1)
            g_subFormPosGet(id);
    }
    const FileError e = WriteWholeFile(DataFile(QStringLiteral("frmst.tmp")), FormPosFileBytes(s_formPos));
    if (e.failed()) {
        MsgBox(ErrTextErrorNo(e), vbOKOnly + vbCritical,
               QStringLiteral("ﾌｫｰﾑ表示位置情報保存"));
        return false;
    }
    return true;
}

namespace {
std::function<void()> g_recorders[kFormIds];
}

void g_subFormPosRecorderSet(int id, std::function<void()> recorder)
{
    if (id >= 0 && id < kFormIds)
        g_recorders[id] = std::move(recorder);
}

void g_subFormPosGet(int id)
{
    // Only the frame, the editor, the monitor windows, the trend window and the site list
    // record their places.
    if (id < 0 || (id > idOutputMonitor && id != idTrend && id != idSites) || !g_recorders[id])
        return;
    g_recorders[id]();
}
