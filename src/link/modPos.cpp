#include "link/modPos.h"

#include "core/modMain1.h"
#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/SerialPort.h"

QString g_funcPosCommand(const QStringList &selections) { return QStringLiteral("P") + selections.join(QString()); }

QString g_funcPosResult(const QString &reply) { return reply.size() >= 2 ? reply.mid(1, 1) : QString(); }

void g_subPosSend(const QString &command)
{
    const QString caption = QStringLiteral("POS ｺﾏﾝﾄﾞ送信");
    g_intCommEnd = 0;
    g_intCommStep = 0;
    g_intReplyTimeUp = 0;
    g_strInPut.clear();
    g_strCommand = command;
    g_intCommStep = 11;
    // The command goes out at most four times without an answer: a second without a reply
    // and a "?" both count, so a controller that refuses it for ever cannot hold the tool.
    int unanswered = 0;
    auto sendAgain = [&] {
        g_intCommStep = 11;
        if (++unanswered > 3) {
            g_subReplyTimerStop();
            MsgBox(QStringLiteral("ｺﾏﾝﾄﾞ送信ﾘﾄﾗｲ ") + QStringLiteral("3") + QStringLiteral("回") + vbCrLf +
                       QStringLiteral("応答がありません"),
                   vbOKOnly + vbExclamation, caption);
            g_intCommStep = 40;
        }
    };
    while (g_intCommEnd != 1) {
        bool idle = false;
        switch (g_intCommStep) {
        case 11:
            g_subReplyTimerStop();
            if (g_funcCommOutPut(g_strCommand))
                g_intCommStep = 12;
            else if (!MSComm1().portOpen())
                g_intCommStep = 40; // the user cancelled a send to a closed port: nothing can go out
            else
                g_intCommStep = 11;
            break;
        case 12:
            g_subReplyTimerStart();
            g_intCommStep = 20;
            break;
        case 20: {
            const qint16 r = g_funcPCheck();
            if (r == 1) {
                if (g_funcPosResult(g_strInPut) == QLatin1String("0")) {
                    g_intCommStep = 40;
                } else {
                    const QString text = QStringLiteral("ﾎﾟｼﾞｼｮﾝ指定出力（POS）は異常終了しました。") + vbCrLf +
                                         QStringLiteral("再試行？　/　ｷｬﾝｾﾙ？");
                    g_subReplyTimerStop();
                    g_intCommStep = MsgBox(text, vbRetryCancel, caption) == vbRetry ? 11 : 40;
                }
            } else if (r == 3) {
                sendAgain();
            } else if (g_intReplyTimeUp == 1) {
                sendAgain();
            } else {
                // A line that is no answer to "P" counts as no reply: it is dropped.
                if (r == 0)
                    g_strInPut.clear();
                idle = true;
            }
            break;
        }
        case 40: g_intCommEnd = 1; break;
        default: g_intCommStep = 40; break;
        }
        if (idle)
            WaitForWire();
        else
            DoEvents();
    }
    g_subReplyTimerStop();
    // A device that went away during the exchange: the link is down, not "接続中".
    if (!MSComm1().portOpen() && g_intConnectStatus == 1) {
        g_subConnectStatusSet(0);
    }
}
