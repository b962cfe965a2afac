#pragma once
// The dialog service of the tool's windows: QMessageBox, QFileDialog, QColorDialog and
// QPrintDialog. Start-up installs it (installDialogs); programs without windows never link it.
#include "platform/Dialogs.h"

#include <QColor>
#include <QMessageBox>
#include <QStringList>

class QProgressDialog;

#include <memory>

// Production dialogs: QMessageBox, QFileDialog, QColorDialog.
class QtDialogs : public DialogService {
public:
    int msgBox(const QString &text, int style, const QString &caption) override;
    std::optional<QString> openFile(const FileDialogRequest &req) override;
    std::optional<QString> saveFile(const FileDialogRequest &req) override;
    std::optional<quint32> chooseColor(quint32 initial) override;
    void runModal(QDialog *dlg) override;
    void beep() override;
    // org.freedesktop.Notifications on the session bus, sent without waiting for the answer;
    // nothing where there is no session bus or no such service.
    void notify(const QString &summary, const QString &body) override;
    // QPrintDialog over an A4 QPrinter.
    PrintResult print(const QString &documentName, const PrintRender &paintPages) override;
    // The override cursor, and a QProgressDialog over the active window.
    void waitCursor(bool on) override;
    void progressOpen(const QString &caption, const QString &text) override;
    bool progressSet(int permille) override;
    void progressClose() override;
    // The box msgBox shows (not yet shown): caption, text, icon and the Japanese buttons.
    static std::unique_ptr<QMessageBox> makeBox(const QString &text, int style, const QString &caption);
    // "desc|pattern|desc|pattern" to Qt's name filters, "desc (patterns)". A description
    // that already ends with its pattern in parentheses ("csvﾌｧｲﾙ(*.csv)") is shown as it
    // is written, not followed by the pattern a second time.
    static QStringList qtFilters(const QString &classic);
    // A colour as 0x00BBGGRR and back.
    static quint32 classicColor(const QColor &c);
    static QColor qtColor(quint32 classic);

private:
    QProgressDialog *m_progress = nullptr;
};
