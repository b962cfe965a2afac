#include "app/frmSplash1.h"

#include "core/modMain1.h"
#include "platform/Dialogs.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>

frmSplash1::frmSplash1(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
    setFixedSize(360, 200);
    setStyleSheet(QStringLiteral("QDialog { background: #1f3b5a; } QLabel { color: white; }"));
    for (int i = 0; i < 7; ++i) {
        Label1[i] = new QLabel(this);
        Label1[i]->installEventFilter(this);
    }
    Label1[0]->setText(g_strAppTitle);
    Label1[1]->setText(QStringLiteral("Orvanelle"));
    Label1[2]->setText(QStringLiteral("Copyright (C) Orvanelle. All rights reserved."));
    Label1[3]->setText(g_strVersion);
    Label1[4]->setText(QStringLiteral("Close"));
    Label1[6]->setText(QStringLiteral("Revision : %1").arg(kVersionRevision, 4, 10, QLatin1Char('0')));
    QFont big = font();
    big.setPointSize(16);
    big.setBold(true);
    Label1[0]->setFont(big);
    Label1[0]->setGeometry(20, 20, 320, 32);
    Label1[1]->setGeometry(20, 62, 320, 20);
    Label1[2]->setGeometry(20, 84, 320, 20);
    Label1[3]->setGeometry(20, 114, 150, 20);
    Label1[6]->setGeometry(20, 136, 150, 20);
    Label1[4]->setGeometry(280, 164, 60, 22);
    Label1[4]->setAlignment(Qt::AlignCenter);
    Label1[4]->setStyleSheet(QStringLiteral("QLabel { border: 1px solid white; }"));
    Label1[4]->setCursor(Qt::PointingHandCursor);
    Label1[5]->setGeometry(0, 0, 0, 0);
    if (QScreen *s = QGuiApplication::primaryScreen()) {
        const QRect r = s->availableGeometry();
        move(r.x() + (r.width() - width()) / 2, r.y() + (r.height() - height()) / 2);
    }
}

bool frmSplash1::eventFilter(QObject *o, QEvent *e)
{
    if (e->type() == QEvent::MouseButtonRelease && (o == Label1[4] || o == Label1[5])) {
        accept();
        return true;
    }
    return QDialog::eventFilter(o, e);
}
