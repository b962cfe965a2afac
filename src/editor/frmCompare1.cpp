#include "editor/frmCompare1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "link/modLinkState.h"
#include "link/modTransfer.h"
#include "monitor/modMonitor1.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>
#include <memory>

namespace {
// The editor's grid cell of a difference, kept on its row of the list.
constexpr int kGridRole = Qt::UserRole;

void unmarkEditorCell()
{
    if (g_frmMain1)
        g_frmMain1->MSFlexGrid1->markCell(-1, -1);
}
} // namespace

frmCompare1::frmCompare1(const QList<SettingDiff> &diffs, const QString &fileTitle, int port, const QDateTime &readAt,
                         QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("ｺﾝﾄﾛｰﾗとの比較"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    auto *layout = new QVBoxLayout(this);

    const QString mine = QStringLiteral("編集中 : ") + (fileTitle.isEmpty() ? QStringLiteral("-") : fileTitle);
    const QString theirs = QStringLiteral("ｺﾝﾄﾛｰﾗ : ") + QStringLiteral("COM") + QString::number(port) +
                           QStringLiteral(" (") + readAt.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) +
                           QStringLiteral(" 読込)");
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
        if (d.inA && d.itemA.gridRow > 0)
            item->setData(0, kGridRole, QPoint(d.itemA.gridCol, d.itemA.gridRow));
    }
    // Each column at least wide enough that two values never run into each other.
    List1->header()->setMinimumSectionSize(List1->fontMetrics().horizontalAdvance(QStringLiteral("00.00 mA")) + 16);
    List1->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    List1->header()->setStretchLastSection(false);
    List1->setVisible(!diffs.isEmpty());
    // A selected difference shows its cell in the editor's grid, marked while the window is
    // open (the grid has no focus meanwhile, so its own current cell does not show).
    connect(List1, &QTreeWidget::currentItemChanged, this, [](QTreeWidgetItem *current) {
        if (!g_frmMain1)
            return;
        const QVariant cell = current ? current->data(0, kGridRole) : QVariant();
        MSFlexGrid *grid = g_frmMain1->MSFlexGrid1;
        if (cell.isValid()) {
            grid->showCell(cell.toPoint().y(), cell.toPoint().x());
            grid->markCell(cell.toPoint().y(), cell.toPoint().x());
        } else {
            grid->markCell(-1, -1);
        }
    });
    connect(this, &QDialog::finished, this, [] { unmarkEditorCell(); });
    layout->addWidget(List1, 1);

    // The two ways to make them agree, then the close.
    Command2 = new QPushButton(QStringLiteral("ｺﾝﾄﾛｰﾗへ書込"), this);
    Command3 = new QPushButton(QStringLiteral("ｺﾝﾄﾛｰﾗの値を取込"), this);
    Command1 = new QPushButton(QStringLiteral("閉じる"), this);
    for (QPushButton *b : {Command2, Command3}) {
        b->setAutoDefault(false);
        b->setEnabled(!diffs.isEmpty());
    }
    Command1->setDefault(true);
    connect(Command1, &QPushButton::clicked, this, [this] { choose(ChoiceClose); });
    connect(Command2, &QPushButton::clicked, this, [this] { choose(ChoiceWrite); });
    connect(Command3, &QPushButton::clicked, this, [this] { choose(ChoiceTake); });
    auto *buttons = new QHBoxLayout();
    buttons->addWidget(Command2);
    buttons->addWidget(Command3);
    buttons->addStretch(1);
    buttons->addWidget(Command1);
    layout->addLayout(buttons);
    setTabOrder(List1, Command2);
    setTabOrder(Command2, Command3);
    setTabOrder(Command3, Command1);

    resize(diffs.isEmpty() ? QSize(420, 140) : QSize(460, qMin(560, 160 + 22 * int(diffs.size()))));
    if (!diffs.isEmpty()) {
        List1->setFocus();
        List1->setCurrentItem(List1->topLevelItem(0));
    } else {
        Command1->setFocus();
    }
}

frmCompare1::~frmCompare1() { unmarkEditorCell(); }

void frmCompare1::choose(int choice)
{
    m_choice = choice;
    accept();
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
    frmCompare1 dlg(DiffSettings(mine, theirs), g_strUserFileTitle, g_intCommPort, g_funcCompareReadAt(),
                    QApplication::activeWindow());
    dialogs().runModal(&dlg);
    // The window has gone before its choice runs: the write shows its own progress window.
    if (dlg.choice() == frmCompare1::ChoiceWrite)
        g_subTransferStart(1);
    else if (dlg.choice() == frmCompare1::ChoiceTake)
        g_funcCompareTakeOver();
}
