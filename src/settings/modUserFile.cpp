#include "settings/modUserFile.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"

#include <memory>

const QString kUserFileFilter = QStringLiteral("ﾕｰｻﾞｰﾌｧｲﾙ(*") + QStringLiteral(".qvd") + QStringLiteral(")|*") +
                                QStringLiteral(".qvd");

namespace {
// Lets the windows breathe about every 16 ms of a long loop, not after every cell.
class Pump {
public:
    void maybe()
    {
        const qint64 now = clockService().elapsedMs();
        if (now - m_last >= 16) {
            DoEvents();
            m_last = now;
        }
    }

private:
    qint64 m_last = clockService().elapsedMs();
};

const int kOpenFlags = cdlOFNOverwritePrompt | cdlOFNHideReadOnly | cdlOFNPathMustExist | cdlOFNFileMustExist |
                       cdlOFNNoReadOnlyReturn | cdlOFNLongNames;
const int kSaveFlags = kOpenFlags & ~cdlOFNFileMustExist;
} // namespace

QByteArray UserFileBytes(const MemCell *image)
{
    QByteArray out(kUserFileBytes, Qt::Uninitialized);
    char *p = out.data();
    Pump pump;
    for (int i = 0; i < kImageCells; ++i) {
        const MemCell &c = image[i];
        p[0] = '"';
        memcpy(p + 1, c.Address.data(), 4);
        p[5] = '"';
        p[6] = ',';
        p[7] = '"';
        memcpy(p + 8, c.Data.data(), 2);
        p[10] = '"';
        p[11] = '\r';
        p[12] = '\n';
        p += 13;
        if ((i & 1023) == 0)
            pump.maybe();
    }
    return out;
}

bool ParseUserFile(const QByteArray &bytes, MemCell *image, FileError &err)
{
    QuotedItemReader r(bytes);
    QByteArray a, d;
    Pump pump;
    const char *b = bytes.constData();
    const qsizetype n = bytes.size();
    qsizetype pos = 0;
    for (int i = 0; i < kImageCells; ++i) {
        // The usual 13-byte line "AAAA","DD" CR LF is taken as it stands.
        if (pos + 13 <= n && b[pos] == '"' && b[pos + 5] == '"' && b[pos + 6] == ',' && b[pos + 7] == '"' &&
            b[pos + 10] == '"' && b[pos + 11] == '\r' && b[pos + 12] == '\n') {
            bool plain = true;
            for (int k : {1, 2, 3, 4, 8, 9})
                plain = plain && b[pos + k] != '"' && b[pos + k] != ',' && b[pos + k] != '\r' && b[pos + k] != '\n';
            if (plain) {
                image[i].setAddress(QByteArrayView(b + pos + 1, 4));
                image[i].setData(QByteArrayView(b + pos + 8, 2));
                pos += 13;
                r.skipTo(pos);
                if ((i & 1023) == 0)
                    pump.maybe();
                continue;
            }
        }
        if (!r.next(a) || !r.next(d)) {
            err = MakeError(errInputPastEnd);
            return false;
        }
        image[i].setAddress(a);
        image[i].setData(QByteArrayView(d));
        pos = r.position();
        if ((i & 1023) == 0)
            pump.maybe();
    }
    return true;
}

static bool saveImage(const QString &path, const QString &caption, bool scratch = false)
{
    const QByteArray bytes = UserFileBytes(UserData);
    const FileError e = scratch ? WriteScratchFile(path, bytes) : WriteWholeFile(path, bytes);
    if (e.failed()) {
        MsgBox(ErrTextNumberFirst(e), vbOKOnly + vbExclamation, caption);
        return false;
    }
    return true;
}

bool g_funcUserDataSave(const QString &path)
{
    if (!saveImage(path, QStringLiteral("ﾃﾞｰﾀﾌｧｲﾙ Save")))
        return false;
    g_strUserFile = path;
    g_typSettingsSource = SettingsSource();
    g_funcIniFileSave(g_intCommPort);
    return true;
}

// temp.tmp is written around every transfer and read by nothing: it does not wait for the disk.
bool g_funcTempDataSave(const QString &path)
{
    return saveImage(path, QStringLiteral("ﾕｰｻﾞｰﾃﾞｰﾀ 一時ﾌｧｲﾙ Save"), true);
}

static void loadFailed(const FileError &e, const QString &path)
{
    MsgBox(ErrTextNumberFirst(e) + vbCrLf + path, vbOKOnly + vbExclamation,
           QStringLiteral("ﾕｰｻﾞｰﾃﾞｰﾀﾌｧｲﾙ Load"));
}

// Reads the whole file into a scratch image; UserData takes it over only when all of it read.
static bool loadInto(const QString &path, std::unique_ptr<MemCell[]> &scratch, FileError &e)
{
    QByteArray bytes;
    e = ReadWholeFile(path, bytes);
    if (e.failed())
        return false;
    scratch.reset(new MemCell[kImageCells]);
    // A file whose settings cannot be shown is refused as a whole, before anything changes.
    return ParseUserFile(bytes, scratch.get(), e) && ImageShowable(scratch.get(), e);
}

bool g_funcUserDataLoad(const QString &path)
{
    std::unique_ptr<MemCell[]> scratch;
    FileError e;
    if (!loadInto(path, scratch, e)) {
        loadFailed(e, path);
        return false;
    }
    std::copy(scratch.get(), scratch.get() + kImageCells, UserData);
    return true;
}

bool g_funcFileExist(const QString &path) { return CanOpenForReading(path); }


bool g_funcChangedPrompt()
{
    if (g_intSaved == 1)
        return true;
    const QString text = g_strUserFileTitle + QStringLiteral(" の内容は変更されています。") + vbCrLf +
                         QStringLiteral("変更を保存しますか？") + vbCrLf;
    switch (MsgBox(text, vbYesNoCancel + vbExclamation, g_strAppTitle)) {
    case vbYes: return g_funcFileSave();
    case vbNo: return true;
    default: return false;
    }
}

static void newDocument()
{
    if (!g_funcUserDataLoad(g_strDefFile))
        g_subUserDataIni(); // a new document starts from the defaults, never from the old one
    const QString title = QStringLiteral("新規") + QStringLiteral(".qvd");
    const QString docs = g_funcGetSpecialFolder(5);
    g_strUserFile = docs.isEmpty() ? g_strAppPath + QLatin1Char('/') + title : docs + title;
    g_strUserFileTitle = title;
    g_typSettingsSource = SettingsSource();
    FileError e;
    const bool shown = g_funcShowUserData(&e);
    g_intSaved = 0;
    g_subCaptionSet();
    if (!shown)
        MsgBox(ErrTextNumberFirstShort(e), vbOKOnly, QStringLiteral("新規ﾌｧｲﾙ"));
    DoEvents();
}

void g_subFileNew()
{
    if (!g_funcChangedPrompt())
        return;
    newDocument();
}

void g_subFileOpen(const QString &initialPath)
{
    if (!g_funcChangedPrompt())
        return;
    FileDialogRequest req;
    req.title = QStringLiteral("開く");
    req.filter = kUserFileFilter;
    req.flags = kOpenFlags;
    if (!initialPath.isEmpty()) {
        req.initDir = initialPath;
        const QString name = GetPathFile(initialPath);
        req.fileName = name == QLatin1String("def.tmp") ? QString() : name;
    }
    const std::optional<QString> chosen = dialogs().openFile(req);
    if (!chosen) {
        if (g_intStarting == 1)
            newDocument();
        return;
    }
    const QString path = *chosen;
    std::unique_ptr<MemCell[]> scratch;
    FileError e;
    if (!loadInto(path, scratch, e)) {
        // The document stays as it was: image, file name, title and saved state.
        loadFailed(e, path);
        g_funcIniFileSave(g_intCommPort);
        if (g_intStarting == 1)
            newDocument();
        return;
    }
    std::copy(scratch.get(), scratch.get() + kImageCells, UserData);
    g_strUserFile = path;
    g_strUserFileTitle = GetPathFile(path);
    g_typSettingsSource = SettingsSource();
    g_funcIniFileSave(g_intCommPort);
    g_funcShowUserData();
    g_intSaved = 1;
    g_subCaptionSet();
}

bool g_funcFileSave()
{
    if (!g_funcFileExist(g_strUserFile))
        return g_funcFileSaveAs();
    g_subTakeUserData();
    const bool ok = g_funcUserDataSave(g_strUserFile);
    g_intSaved = ok ? 1 : 0;
    return ok;
}

bool g_funcFileSaveAs()
{
    FileDialogRequest req;
    req.title = QStringLiteral("名前を付けて保存");
    req.filter = kUserFileFilter;
    req.flags = kSaveFlags;
    const std::optional<QString> chosen = dialogs().saveFile(req);
    if (!chosen)
        return false;
    g_subTakeUserData();
    const bool ok = g_funcUserDataSave(*chosen);
    g_intSaved = ok ? 1 : 0;
    g_strUserFile = *chosen;
    g_strUserFileTitle = GetPathFile(*chosen);
    g_subCaptionSet();
    return ok;
}

void g_subDefFileSave()
{
    g_subTakeUserData();
    g_funcUserDataSave(g_strDefFile);
}
