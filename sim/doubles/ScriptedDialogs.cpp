#include "doubles/ScriptedDialogs.h"

#include "platform/QtDialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPageSize>
#include <QPdfWriter>
#include <QPointer>
#include <QTimer>

int ScriptedDialogs::msgBox(const QString &text, int style, const QString &caption)
{
    Box b{caption, text, style & 7, style & 0x70, 0};
    if (onBox)
        onBox(b);
    if (answers.isEmpty()) {
        ++unexpected;
        unexpectedWhat << QStringLiteral("box [%1] %2").arg(caption, text);
        b.answer = (style & 7) == vbOKOnly ? vbOK : vbCancel;
    } else {
        b.answer = answers.takeFirst();
    }
    if (realBoxes) {
        const auto shown = QtDialogs::makeBox(text, style, caption);
        QMessageBox *mb = shown.get();
        QTimer::singleShot(realBoxMs, mb, [mb, answer = b.answer] {
            for (QAbstractButton *button : mb->buttons()) {
                if (button->property("vbResult").toInt() == answer) {
                    button->click();
                    return;
                }
            }
            mb->reject();
        });
        QPointer<QWidget> before = QApplication::activeWindow();
        mb->exec();
        // A desktop's window manager gives the focus back to the window under the box;
        // the offscreen platform leaves no window active.
        if (before && !QApplication::activeWindow())
            before->activateWindow();
    }
    boxes << b;
    return b.answer;
}

std::optional<QString> ScriptedDialogs::openFile(const FileDialogRequest &req)
{
    fileRequests << req;
    fileRequestIsSave << false;
    if (fileAnswers.isEmpty()) {
        ++unexpected;
        unexpectedWhat << QStringLiteral("open dialog");
        return std::nullopt;
    }
    return fileAnswers.takeFirst();
}

std::optional<QString> ScriptedDialogs::saveFile(const FileDialogRequest &req)
{
    fileRequests << req;
    fileRequestIsSave << true;
    if (fileAnswers.isEmpty()) {
        ++unexpected;
        unexpectedWhat << QStringLiteral("save dialog");
        return std::nullopt;
    }
    return fileAnswers.takeFirst();
}

void ScriptedDialogs::progressOpen(const QString &caption, const QString &text)
{
    progressWindows << caption + QLatin1Char('|') + text;
    progressOpenNow = true;
}

bool ScriptedDialogs::progressSet(int permille)
{
    progressValues << permille;
    return progressCancelAt < 0 || permille < progressCancelAt;
}

std::optional<quint32> ScriptedDialogs::chooseColor(quint32)
{
    if (colorAnswers.isEmpty()) {
        ++unexpected;
        unexpectedWhat << QStringLiteral("colour dialog");
        return std::nullopt;
    }
    return colorAnswers.takeFirst();
}

void ScriptedDialogs::runModal(QDialog *dlg)
{
    if (!modalHandler) {
        ++unexpected;
        unexpectedWhat << QStringLiteral("modal %1").arg(dlg->windowTitle());
        return;
    }
    dlg->setModal(true);
    if (realModal) {
        QPointer<QDialog> guard(dlg);
        QTimer::singleShot(0, dlg, [this, dlg] { modalHandler(dlg); });
        // A handler that leaves the window open would hold the test for ever.
        QTimer::singleShot(20000, dlg, [this, guard] {
            if (guard && guard->isVisible()) {
                ++unexpected;
                unexpectedWhat << QStringLiteral("modal %1 left open").arg(guard->windowTitle());
                guard->reject();
            }
        });
        dlg->exec();
        return;
    }
    dlg->show();
    modalHandler(dlg);
    dlg->hide();
}

PrintResult ScriptedDialogs::print(const QString &documentName, const PrintRender &paintPages)
{
    printRequests << documentName;
    if (printAnswers.isEmpty()) {
        ++unexpected;
        unexpectedWhat << QStringLiteral("print dialog %1").arg(documentName);
        return PrintResult::Cancelled;
    }
    const std::optional<QString> path = printAnswers.takeFirst();
    if (!path)
        return PrintResult::Cancelled;
    QPdfWriter pdf(*path);
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setTitle(documentName);
    paintPages(pdf);
    return PrintResult::Printed;
}
