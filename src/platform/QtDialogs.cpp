#include "platform/QtDialogs.h"

#include <QApplication>
#include <QColorDialog>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPageSize>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QPushButton>

std::unique_ptr<QMessageBox> QtDialogs::makeBox(const QString &text, int style, const QString &caption)
{
    auto box = std::make_unique<QMessageBox>(QApplication::activeWindow());
    box->setWindowTitle(caption);
    box->setText(text);
    switch (style & 0x70) {
    case vbCritical: box->setIcon(QMessageBox::Critical); break;
    case vbQuestion: box->setIcon(QMessageBox::Question); break;
    case vbExclamation: box->setIcon(QMessageBox::Warning); break;
    case vbInformation: box->setIcon(QMessageBox::Information); break;
    default: box->setIcon(QMessageBox::NoIcon); break;
    }
    struct B {
        const char *text;
        QMessageBox::ButtonRole role;
        int result;
    };
    static const B ok{"OK", QMessageBox::AcceptRole, vbOK};
    static const B cancel{"キャンセル", QMessageBox::RejectRole, vbCancel};
    static const B yes{"はい(&Y)", QMessageBox::YesRole, vbYes};
    static const B no{"いいえ(&N)", QMessageBox::NoRole, vbNo};
    static const B retry{"再試行(&R)", QMessageBox::AcceptRole, vbRetry};
    // Not a reject button: a box with Abort offers no way out but its three buttons.
    static const B abort{"中止(&A)", QMessageBox::DestructiveRole, vbAbort};
    static const B ignore{"無視(&I)", QMessageBox::AcceptRole, vbIgnore};
    QList<B> buttons;
    switch (style & 7) {
    case vbOKCancel: buttons = {ok, cancel}; break;
    case vbAbortRetryIgnore: buttons = {abort, retry, ignore}; break;
    case vbYesNoCancel: buttons = {yes, no, cancel}; break;
    case vbYesNo: buttons = {yes, no}; break;
    case vbRetryCancel: buttons = {retry, cancel}; break;
    default: buttons = {ok}; break;
    }
    if ((style & 7) == vbAbortRetryIgnore) {
        // As on the classic desktop: no close button, and Escape does nothing.
        box->setWindowFlags((box->windowFlags() | Qt::CustomizeWindowHint | Qt::WindowTitleHint) &
                            ~Qt::WindowCloseButtonHint);
    }
    for (const B &b : buttons) {
        QPushButton *pb = box->addButton(QString::fromUtf8(b.text), b.role);
        pb->setProperty("vbResult", b.result);
        if (&b == &buttons.first())
            box->setDefaultButton(pb);
        if (b.result == vbCancel || buttons.size() == 1)
            box->setEscapeButton(pb);
    }
    return box;
}

int QtDialogs::msgBox(const QString &text, int style, const QString &caption)
{
    const auto box = makeBox(text, style, caption);
    box->exec();
    const QAbstractButton *clicked = box->clickedButton();
    if (clicked)
        return clicked->property("vbResult").toInt();
    return (style & 7) == vbOKOnly ? vbOK : vbCancel;
}

QStringList QtDialogs::qtFilters(const QString &classic)
{
    QStringList out;
    const QStringList parts = classic.split(QLatin1Char('|'));
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString &desc = parts[i];
        const QString &pattern = parts[i + 1];
        // Qt takes the patterns from the last parentheses, separated by blanks.
        const QString patterns = QString(pattern).replace(QLatin1Char(';'), QLatin1Char(' '));
        const QString written = QLatin1Char('(') + pattern + QLatin1Char(')');
        QString trimmed = desc;
        while (trimmed.endsWith(QLatin1Char(' ')))
            trimmed.chop(1);
        if (!pattern.isEmpty() && trimmed.endsWith(written))
            out << trimmed.left(trimmed.size() - written.size()) + QLatin1Char('(') + patterns + QLatin1Char(')');
        else
            out << desc + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return out;
}

static std::optional<QString> runFileDialog(const FileDialogRequest &req, bool save)
{
    QFileDialog dlg(QApplication::activeWindow(), req.title);
    dlg.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dlg.setFileMode(save ? QFileDialog::AnyFile
                         : ((req.flags & cdlOFNFileMustExist) ? QFileDialog::ExistingFile : QFileDialog::AnyFile));
    QFileDialog::Options opts = QFileDialog::DontUseNativeDialog;
    if (!(req.flags & cdlOFNOverwritePrompt))
        opts |= QFileDialog::DontConfirmOverwrite;
    dlg.setOptions(opts);
    dlg.setNameFilters(QtDialogs::qtFilters(req.filter));
    dlg.setDefaultSuffix(QString()); // a typed name is taken as it stands
    if (!req.initDir.isEmpty()) {
        QFileInfo fi(req.initDir);
        dlg.setDirectory(fi.isDir() ? fi.absoluteFilePath() : fi.absolutePath());
    }
    if (!req.fileName.isEmpty())
        dlg.selectFile(req.fileName);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return std::nullopt;
    return dlg.selectedFiles().first();
}

std::optional<QString> QtDialogs::openFile(const FileDialogRequest &req) { return runFileDialog(req, false); }
std::optional<QString> QtDialogs::saveFile(const FileDialogRequest &req) { return runFileDialog(req, true); }

quint32 QtDialogs::classicColor(const QColor &c)
{
    return quint32(c.red()) | (quint32(c.green()) << 8) | (quint32(c.blue()) << 16);
}

QColor QtDialogs::qtColor(quint32 classic)
{
    return QColor(int(classic & 0xFF), int((classic >> 8) & 0xFF), int((classic >> 16) & 0xFF));
}

std::optional<quint32> QtDialogs::chooseColor(quint32 initial)
{
    QColorDialog dlg(qtColor(initial), QApplication::activeWindow());
    dlg.setOption(QColorDialog::DontUseNativeDialog); // the full dialog, custom colours shown
    if (dlg.exec() != QDialog::Accepted || !dlg.selectedColor().isValid())
        return std::nullopt;
    return classicColor(dlg.selectedColor());
}

void QtDialogs::runModal(QDialog *dlg) { dlg->exec(); }

void QtDialogs::beep() { QApplication::beep(); }

void QtDialogs::notify(const QString &summary, const QString &body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                    QStringLiteral("/org/freedesktop/Notifications"),
                                                    QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    m << QStringLiteral("Qelvo") << 0u << QStringLiteral("com.orvanelle.Qelvo") << summary << body << QStringList()
      << QVariantMap() << -1;
    // No answer is awaited: a bus without the service answers with an error nobody reads.
    m.setAutoStartService(false);
    bus.send(m);
}

PrintResult QtDialogs::print(const QString &documentName, const PrintRender &paintPages)
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setDocName(documentName);
    printer.setPageSize(QPageSize(QPageSize::A4));
    QPrintDialog dlg(&printer, QApplication::activeWindow());
    dlg.setWindowTitle(QStringLiteral("印刷"));
    if (dlg.exec() != QDialog::Accepted)
        return PrintResult::Cancelled;
    paintPages(printer);
    return printer.printerState() == QPrinter::Error ? PrintResult::Failed : PrintResult::Printed;
}

void QtDialogs::waitCursor(bool on)
{
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void QtDialogs::progressOpen(const QString &caption, const QString &text)
{
    delete m_progress;
    m_progress = new QProgressDialog(text, QStringLiteral("キャンセル"), 0, 1000, QApplication::activeWindow());
    m_progress->setWindowTitle(caption);
    m_progress->setWindowModality(Qt::ApplicationModal);
    m_progress->setAutoClose(false);
    m_progress->setAutoReset(false);
    m_progress->setMinimumDuration(0);
    m_progress->show();
}

bool QtDialogs::progressSet(int permille)
{
    if (!m_progress)
        return true;
    m_progress->setValue(permille);
    return !m_progress->wasCanceled();
}

void QtDialogs::progressClose()
{
    delete m_progress;
    m_progress = nullptr;
}
