#include "editor/frmCompare1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modLinkState.h"
#include "link/modTransfer.h"
#include "monitor/modMonitor1.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"

#include <QApplication>
#include <QHeaderView>
#include <QVBoxLayout>
#include <memory>

frmCompare1::frmCompare1(const QList<SettingDiff> &diffs, const QString &fileTitle, int port, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("ｺﾝﾄﾛｰﾗとの比較"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    auto *layout = new QVBoxLayout(this);

    const QString mine = QStringLiteral("編集中 : ") + (fileTitle.isEmpty() ? QStringLiteral("-") : fileTitle);
    const QString theirs = QStringLiteral("ｺﾝﾄﾛｰﾗ : ") + QStringLiteral("COM") + QString::number(port);
    Label1 = new QLabel(mine + QStringLiteral("    ") + theirs, this);
    layout->addWidget(Label1);

    Label2 = new QLabel(diffs.isEmpty() ? QStringLiteral("相違はありません。")
                                        : QString::number(diffs.size()) + QStringLiteral(" 件の相違があります。"),
                        this);
    layout->addWidget(Label2);

    List1 = new QTreeWidget(this);
    List1->setRootIsDecorated(false);
    List1->setAllColumnsShowFocus(true);
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setHeaderLabels({QStringLiteral("設定"), QStringLiteral("編集中"), QStringLiteral("ｺﾝﾄﾛｰﾗ")});
    List1->setAccessibleName(QStringLiteral("相違のある設定"));
    List1->setAccessibleDescription(Label2->text());
    const QString none = QStringLiteral("-");
    for (const SettingDiff &d : diffs) {
        auto *item = new QTreeWidgetItem(List1, {d.name, d.a.isEmpty() ? none : d.a, d.b.isEmpty() ? none : d.b});
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    }
    // Each column at least wide enough that two values never run into each other.
    List1->header()->setMinimumSectionSize(List1->fontMetrics().horizontalAdvance(QStringLiteral("00.00 mA")) + 16);
    List1->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    List1->header()->setStretchLastSection(false);
    List1->setVisible(!diffs.isEmpty());
    if (!diffs.isEmpty())
        List1->setCurrentItem(List1->topLevelItem(0));
    layout->addWidget(List1, 1);

    Command1 = new QPushButton(QStringLiteral("閉じる"), this);
    Command1->setDefault(true);
    connect(Command1, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(Command1, 0, Qt::AlignRight);

    resize(diffs.isEmpty() ? QSize(360, 140) : QSize(420, qMin(560, 150 + 22 * int(diffs.size()))));
    if (!diffs.isEmpty())
        List1->setFocus();
    else
        Command1->setFocus();
}

bool g_funcCompareEnabled()
{
    return g_intConnectStatus == 1 && g_intCommBusy == 0 && !g_funcTransferRunning() && g_intMonitorOn == 0 &&
           g_intPollBusy == 0 && !g_funcMonitorPolling();
}

void g_subCompareWithController()
{
    if (!g_funcCompareEnabled())
        return;
    if (!g_funcCompareRead())
        return;
    // The editor's values as a write would take them, against what the controller holds.
    std::unique_ptr<MemCell[]> editor(new MemCell[kImageCells]);
    EditorImage(editor.get());
    QList<SettingItem> mine, theirs;
    FileError e;
    if (!SettingsOf(editor.get(), mine, e) || !SettingsOf(TempData, theirs, e)) {
        MsgBox(ErrTextNumberFirst(e), vbOKOnly + vbCritical, QStringLiteral("ｺﾝﾄﾛｰﾗとの比較"));
        return;
    }
    frmCompare1 dlg(DiffSettings(mine, theirs), g_strUserFileTitle, g_intCommPort, QApplication::activeWindow());
    dialogs().runModal(&dlg);
}
