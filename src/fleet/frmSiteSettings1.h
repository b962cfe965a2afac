#pragma once
// The office view's comparison of a site's settings with its golden file, as the watcher
// last read them (<prefix>/<site>/settings): laid out as "ｺﾝﾄﾛｰﾗとの比較", the golden file's
// value beside the controller's for each setting that differs, or "相違はありません。". It
// only shows: the watcher holds the site's line, so nothing is written from here.
#include "fleet/SettingsAudit.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

class frmSiteSettings1 : public QDialog {
    Q_OBJECT
public:
    frmSiteSettings1(const QString &site, const SettingsAuditMessage &audit, QWidget *parent = nullptr);

    QLabel *Label1 = nullptr;        // the golden file and the controller, and when it was read
    QLabel *Label2 = nullptr;        // "相違はありません。", or how many settings differ
    QTreeWidget *List1 = nullptr;    // 設定 / 承認済 / ｺﾝﾄﾛｰﾗ, one row per difference
    QLabel *Label3 = nullptr;        // the controller's 48 bytes as the watcher read them
    QPushButton *Command1 = nullptr; // "閉じる"
};
