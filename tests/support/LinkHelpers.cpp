#include "support/LinkHelpers.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "editor/frmMain1.h"
#include "link/frmCommMsg1.h"
#include "link/modComm1.h"
#include "monitor/modMonitor1.h"

#include <QtTest>

const QColor kRed(255, 0, 0), kGreen(0, 255, 0), kYellow(255, 255, 0);
const QString kSendLost = QStringLiteral("通信ﾎﾟｰﾄの状態を確認して下さい。\r\n"
                                         "The serial device is no longer available:Err.Number 1011");

QColor linkColour() { return g_frmMain1->Label1->palette().color(QPalette::Window); }

QString stateText(int state)
{
    switch (state) {
    case 0: return QStringLiteral("状態 : 切断");
    case 1: return QStringLiteral("状態 : 接続中");
    case 2: return QStringLiteral("状態 : 接続ﾁｪｯｸ中 ");
    default: return QStringLiteral("状態 : 不明");
    }
}

void checkSane()
{
    QCOMPARE(g_intCommBusy, qint16(0));
    QCOMPARE(g_intPollBusy, qint16(0));
    QVERIFY(!ReplyTimer().Enabled());
    QVERIFY(!CommTimer().Enabled());
    QVERIFY(g_frmMain1->isEnabled());
    QVERIFY(g_frmMdi1->isEnabled());
    QVERIFY(g_frmMdi1->menu_file->menuAction()->isVisible());
    QCOMPARE(g_frmMdi1->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(g_frmMdi1->statusPanel(2), stateText(g_intConnectStatus));
    QCOMPARE(linkColour(), g_intConnectStatus == 1 ? kGreen : kRed);
    QVERIFY(!g_frmCommMsg1);
}

void answerWith(RecordingPort &rec, const QHash<QByteArray, QByteArray> &replies)
{
    rec.onOutput = [&rec, replies](const QByteArray &frame) {
        const QByteArray key = frame.chopped(1);
        if (replies.contains(key))
            rec.feed(replies.value(key));
    };
}

void startConnected(AppFixture &f)
{
    f.startSeeded();
    g_subMenuCommand(21);
    QCOMPARE(g_intConnectStatus, qint16(1));
}
