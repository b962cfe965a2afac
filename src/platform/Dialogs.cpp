#include "platform/Dialogs.h"

#include <QtDebug>
#include "platform/Clock.h"

#include <algorithm>

const QString g_strAppTitle = QStringLiteral("Qelvo Software");

namespace {
DialogService *g_dialogs = nullptr;
QuietDialogs &quietDialogs()
{
    static QuietDialogs d;
    return d;
}
} // namespace

DialogService &dialogs() { return g_dialogs ? *g_dialogs : quietDialogs(); }
void installDialogs(DialogService *d) { g_dialogs = d; }

int MsgBox(const QString &text, int style, const QString &caption)
{
    return dialogs().msgBox(text, style, caption.isEmpty() ? g_strAppTitle : caption);
}

void Beep() { dialogs().beep(); }

// ---------------------------------------------------------------- LongTask

LongTask::LongTask(const QString &caption, const QString &text)
    : m_caption(caption), m_text(text), m_startMs(clockService().elapsedMs())
{
    dialogs().waitCursor(true);
}

LongTask::~LongTask()
{
    if (m_shown)
        dialogs().progressClose();
    dialogs().waitCursor(false);
}

bool LongTask::step(qint64 done, qint64 total)
{
    if (m_cancelled)
        return false;
    DoEvents();
    if (!m_shown && clockService().elapsedMs() - m_startMs >= kProgressDelayMs) {
        m_shown = true;
        dialogs().progressOpen(m_caption, m_text);
    }
    const int permille = total > 0 ? int(std::clamp<qint64>(done * 1000 / total, 0, 1000)) : 0;
    if (m_shown && !dialogs().progressSet(permille))
        m_cancelled = true;
    return !m_cancelled;
}

// ---------------------------------------------------------------- QuietDialogs

int QuietDialogs::safeAnswer(int style)
{
    switch (style & 7) {
    case vbOKOnly: return vbOK;
    case vbAbortRetryIgnore: return vbAbort;
    case vbYesNo: return vbNo;
    default: return vbCancel; // OK/Cancel, Yes/No/Cancel, Retry/Cancel
    }
}

int QuietDialogs::msgBox(const QString &text, int style, const QString &caption)
{
    qWarning().noquote() << caption + QStringLiteral(": ") + text.simplified();
    return safeAnswer(style);
}

std::optional<QString> QuietDialogs::openFile(const FileDialogRequest &) { return std::nullopt; }
std::optional<QString> QuietDialogs::saveFile(const FileDialogRequest &) { return std::nullopt; }
std::optional<quint32> QuietDialogs::chooseColor(quint32) { return std::nullopt; }
void QuietDialogs::runModal(QDialog *) {}
void QuietDialogs::beep() {}
