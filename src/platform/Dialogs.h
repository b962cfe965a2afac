#pragma once
// Message boxes, file dialogs, the colour dialog and modal windows, behind one service
// so that tests answer them from a script and assert every text to the letter.
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QColor;
class QDialog;
class QPagedPaintDevice;
class QProgressDialog;

// Buttons and icons of a message box, combined by addition as in the classic MsgBox.
enum MsgStyle : int {
    vbOKOnly = 0,
    vbOKCancel = 1,
    vbAbortRetryIgnore = 2,
    vbYesNoCancel = 3,
    vbYesNo = 4,
    vbRetryCancel = 5,
    vbCritical = 16,
    vbQuestion = 32,
    vbExclamation = 48,
    vbInformation = 64,
};
enum MsgResult : int { vbOK = 1, vbCancel = 2, vbAbort = 3, vbRetry = 4, vbIgnore = 5, vbYes = 6, vbNo = 7 };

// File dialog options, as the classic common dialog numbers them.
enum FileDialogFlag : int {
    cdlOFNOverwritePrompt = 0x2,
    cdlOFNHideReadOnly = 0x4,
    cdlOFNNoChangeDir = 0x8,
    cdlOFNLongNames = 0x200000,
    cdlOFNPathMustExist = 0x800,
    cdlOFNFileMustExist = 0x1000,
    cdlOFNNoReadOnlyReturn = 0x8000,
};

// How a print ended.
enum class PrintResult { Printed, Cancelled, Failed };
// What is printed: laid out on the paint device of the printer chosen, page by page.
using PrintRender = std::function<void(QPagedPaintDevice &)>;

struct FileDialogRequest {
    QString title;
    QString filter;      // "description|pattern", as the classic dialog takes it
    int flags = 0;
    QString initDir;     // may name a file; its folder is used
    QString fileName;    // proposed name
};

class DialogService {
public:
    virtual ~DialogService() = default;
    virtual int msgBox(const QString &text, int style, const QString &caption) = 0;
    virtual std::optional<QString> openFile(const FileDialogRequest &req) = 0;
    virtual std::optional<QString> saveFile(const FileDialogRequest &req) = 0;
    // Colour as 0x00BBGGRR; nullopt when cancelled.
    virtual std::optional<quint32> chooseColor(quint32 initial) = 0;
    // Shows a dialog modally and returns when it is closed.
    virtual void runModal(QDialog *dlg) = 0;
    virtual void beep() = 0;
    // Prints through the system's print dialog, which also offers a PDF file; the document
    // name names the job. A service that has no printer cancels.
    virtual PrintResult print(const QString &documentName, const PrintRender &paintPages)
    {
        Q_UNUSED(documentName);
        Q_UNUSED(paintPages);
        return PrintResult::Cancelled;
    }
    // The wait cursor over every window (on), and back (off); calls nest. A service without
    // windows shows none.
    virtual void waitCursor(bool on) { Q_UNUSED(on); }
    // The progress window of a long task (LongTask): opened with its caption and text, moved
    // on in thousandths, closed. progressSet returns false once its キャンセル was pressed.
    virtual void progressOpen(const QString &caption, const QString &text)
    {
        Q_UNUSED(caption);
        Q_UNUSED(text);
    }
    virtual bool progressSet(int permille)
    {
        Q_UNUSED(permille);
        return true;
    }
    virtual void progressClose() {}
};

// A long task on the user-interface thread (a large file read), stepped by its owner: the
// wait cursor from the start, and once the task has taken kProgressDelayMs a progress window
// with キャンセル. Each step lets the windows' events run.
class LongTask {
public:
    LongTask(const QString &caption, const QString &text);
    ~LongTask();
    LongTask(const LongTask &) = delete;
    LongTask &operator=(const LongTask &) = delete;
    // done of total; false once the user cancelled.
    bool step(qint64 done, qint64 total);
    bool shown() const { return m_shown; }
    static constexpr qint64 kProgressDelayMs = 500;

private:
    QString m_caption, m_text;
    qint64 m_startMs;
    bool m_shown = false;
    bool m_cancelled = false;
};

// The installed service; QuietDialogs until a program installs its own (the tool's
// start-up installs QtDialogs, of platform/QtDialogs.h).
DialogService &dialogs();
void installDialogs(DialogService *d); // not owned; nullptr restores QuietDialogs

// The application title, the caption of a box that names none.
extern const QString g_strAppTitle;

int MsgBox(const QString &text, int style = vbOKOnly, const QString &caption = QString());
void Beep();

// The service of a program without windows that installed none: each box is answered with
// its safe button (OK, Cancel, No for Yes/No, Abort for Abort/Retry/Ignore) and written to
// the log as "caption: text", so that its text is not lost; file and colour dialogs are
// cancelled, a modal window is not shown and printing is cancelled.
class QuietDialogs : public DialogService {
public:
    int msgBox(const QString &text, int style, const QString &caption) override;
    std::optional<QString> openFile(const FileDialogRequest &req) override;
    std::optional<QString> saveFile(const FileDialogRequest &req) override;
    std::optional<quint32> chooseColor(quint32 initial) override;
    void runModal(QDialog *dlg) override;
    void beep() override;
    // The button msgBox answers for a box of this style.
    static int safeAnswer(int style);
};

// The quiet answers without a word: for a service, which tells what happened in its own
// lines (the exchanges keep each box's text as their result's reason).
class SilentDialogs : public QuietDialogs {
public:
    int msgBox(const QString &, int style, const QString &) override { return safeAnswer(style); }
};
