#pragma once
#include "platform/Dialogs.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// The scripted double: records every box and answers from queues. A box, file dialog or
// modal window the script did not expect is counted in unexpected and answered Cancel.
class ScriptedDialogs : public DialogService {
public:
    struct Box {
        QString caption;
        QString text;
        int buttons = 0; // style & 7
        int icon = 0;    // style & 0x70
        int answer = 0;
    };
    int msgBox(const QString &text, int style, const QString &caption) override;
    std::optional<QString> openFile(const FileDialogRequest &req) override;
    std::optional<QString> saveFile(const FileDialogRequest &req) override;
    std::optional<quint32> chooseColor(quint32 initial) override;
    void runModal(QDialog *dlg) override;
    void beep() override { ++beeps; }
    void notify(const QString &summary, const QString &body) override { notifications << summary + QLatin1Char('|') + body; }
    // The printer of an expected print dialog writes a PDF file (A4) to the path answered.
    PrintResult print(const QString &documentName, const PrintRender &paintPages) override;
    void waitCursor(bool on) override
    {
        waitCursorDepth += on ? 1 : -1;
        waitCursors += on ? 1 : 0;
    }
    // A progress window is recorded (caption and text) and its values; its キャンセル is
    // pressed at progressCancelAt thousandths (never when negative).
    void progressOpen(const QString &caption, const QString &text) override;
    bool progressSet(int permille) override;
    void progressClose() override { progressOpenNow = false; }

    QList<Box> boxes;
    QList<int> answers;                        // one per expected box
    QList<std::optional<QString>> fileAnswers; // one per expected file dialog
    QList<FileDialogRequest> fileRequests;     // open and save requests, in order
    QList<bool> fileRequestIsSave;
    QList<std::optional<quint32>> colorAnswers;
    // One per expected print dialog: the PDF file to print into; nullopt cancels.
    QList<std::optional<QString>> printAnswers;
    QStringList printRequests; // the document names, in order
    // Called with each modal window; it should press a button that closes it.
    std::function<void(QDialog *)> modalHandler;
    // Called for every box before it is answered (e.g. to click something meanwhile).
    std::function<void(const Box &)> onBox;
    // Where focus matters: each box is a real modal QMessageBox, which takes the focus as
    // on a desktop, and a real timer presses the scripted answer after realBoxMs; each
    // modal window runs its own event loop (exec) and the handler is called inside it.
    bool realBoxes = false;
    bool realModal = false;
    int realBoxMs = 30;
    int unexpected = 0;
    QStringList unexpectedWhat;
    int beeps = 0;
    QStringList notifications; // "summary|body", in order
    int waitCursorDepth = 0; // shown now (nested)
    int waitCursors = 0;     // times shown
    QStringList progressWindows;
    QList<int> progressValues;
    bool progressOpenNow = false;
    int progressCancelAt = -1;
};
