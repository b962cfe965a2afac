#include "fleet/frmSiteSettings1.h"

#include <QHeaderView>
#include <QHBoxLayout>
#include <QVBoxLayout>

frmSiteSettings1::frmSiteSettings1(const QString &site, const SettingsAuditMessage &audit, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("ｺﾝﾄﾛｰﾗとの比較"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    auto *layout = new QVBoxLayout(this);
    const QString mine = QStringLiteral("承認済 : ") + (audit.golden.isEmpty() ? QStringLiteral("-") : audit.golden);
    const QString theirs = QStringLiteral("ｺﾝﾄﾛｰﾗ : ") + site + QStringLiteral(" (") +
                           audit.time.toLocalTime().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) +
                           QStringLiteral(" 読込)");
    Label1 = new QLabel(mine + QStringLiteral("    ") + theirs, this);
    layout->addWidget(Label1);
    Label2 = new QLabel(audit.differences.isEmpty()
                            ? QStringLiteral("相違はありません。")
                            : QString::number(audit.differences.size()) + QStringLiteral(" 件の相違があります。"),
                        this);
    layout->addWidget(Label2);
    List1 = new QTreeWidget(this);
    List1->setRootIsDecorated(false);
    List1->setAllColumnsShowFocus(true);
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setHeaderLabels({QStringLiteral("設定"), QStringLiteral("承認済"), QStringLiteral("ｺﾝﾄﾛｰﾗ")});
    List1->setAccessibleName(QStringLiteral("相違のある設定"));
    List1->setAccessibleDescription(Label2->text());
    for (const AuditDifference &d : audit.differences) {
        auto *item = new QTreeWidgetItem(List1, {d.name, d.golden, d.controller});
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
        item->setToolTip(0, QStringLiteral("ｱﾄﾞﾚｽ ") + d.cell);
    }
    List1->header()->setMinimumSectionSize(List1->fontMetrics().horizontalAdvance(QStringLiteral("00.00 mA")) + 16);
    List1->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    List1->header()->setStretchLastSection(false);
    List1->setVisible(!audit.differences.isEmpty());
    layout->addWidget(List1, 1);
    // The bytes as read, 16 a line, for whoever compares them with a file by hand.
    QStringList lines;
    for (int a = 0; a < audit.controllerHex.size() / 2; a += 16) {
        QStringList bytes;
        for (int b = a; b < a + 16 && 2 * b < audit.controllerHex.size(); ++b)
            bytes << QString::fromLatin1(audit.controllerHex.mid(2 * b, 2));
        lines << QStringLiteral("%1: ").arg(a, 2, 16, QLatin1Char('0')).toUpper() + bytes.join(QLatin1Char(' '));
    }
    Label3 = new QLabel(lines.join(QLatin1Char('\n')), this);
    Label3->setFont(QFont(QStringLiteral("monospace")));
    Label3->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Label3->setAccessibleName(QStringLiteral("ｺﾝﾄﾛｰﾗのﾃﾞｰﾀ"));
    Label3->setVisible(!lines.isEmpty());
    layout->addWidget(Label3);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    Command1 = new QPushButton(QStringLiteral("閉じる"), this);
    Command1->setAccessibleName(Command1->text());
    Command1->setDefault(true);
    connect(Command1, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addWidget(Command1);
    layout->addLayout(buttons);
    resize(qMax(sizeHint().width(), 480), qMax(sizeHint().height(), 240));
}
