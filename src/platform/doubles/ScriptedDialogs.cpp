#include "platform/doubles/ScriptedDialogs.h"

#include <QDialog>

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
    dlg->show();
    modalHandler(dlg);
    dlg->hide();
}
