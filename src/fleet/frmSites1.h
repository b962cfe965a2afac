#pragma once
// "ｻｲﾄ一覧ﾊﾟﾈﾙ": a view of the program's site monitor (SiteMonitor): every site the watchers
// publish on its broker and every site it polls itself, one row each (SiteBoard through
// SiteTableModel), sorted by any column and found by name or title with the filter box. A
// raised alarm turns its row red until "確認" acknowledges it, and is spoken by the status line
// under the table; the count of alarms not yet acknowledged stands in the window's title. The
// sources ("取得元設定") are the monitor's, kept in the data folder's "sites.ini". Closing the
// window stops nothing: the monitor goes on watching, ringing and counting in the frame's
// status bar.
#include "core/modChildForm.h"
#include "fleet/SiteAlarmList.h"
#include "fleet/SiteMonitor.h"
#include "fleet/SiteTableModel.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QWidget>

class WindowTimer;

class frmSites1;
extern frmSites1 *const &g_frmSites1; // the open site list, or null

// The rows shown: a site whose name or title holds the filter's text, sorted by kSortRole
// (texts with their numbers as numbers). The rows are filtered and sorted when asked (the
// filter's text changed, a sort), never because a reading came; a sort takes each row's value
// once, not at each comparison.
class SiteFilterModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void setText(const QString &text);
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    // Texts compared with their runs of digits as numbers, letters without case.
    static int naturalCompare(const QString &a, const QString &b);

protected:
    bool filterAcceptsRow(int row, const QModelIndex &parent) const override;
    bool lessThan(const QModelIndex &a, const QModelIndex &b) const override;

private:
    // While the rows are sorted: the value of each row of the source (by its row) in the
    // sort column.
    void takeKeys(int column);
    QList<QVariant> m_keys;
    QString m_text;
};

// "取得元設定": the broker's address, topic prefix, user and password file, and the watcher's
// configuration file.
class frmSiteBroker1 : public QDialog {
    Q_OBJECT
public:
    explicit frmSiteBroker1(const SiteSource &s, QWidget *parent = nullptr);
    SiteSource source() const;
    QLineEdit *UrlEdit = nullptr;
    QLineEdit *PrefixEdit = nullptr;
    QLineEdit *UserEdit = nullptr;
    QLineEdit *PasswordFileEdit = nullptr;
    QLineEdit *WatchFileEdit = nullptr;
    QPushButton *BrowseButton = nullptr;
    QPushButton *OkButton = nullptr;
    QPushButton *CancelButton = nullptr;

private:
    void accept() override;
};

// "一時抑制": how long the selected sites' alarms are shelved (15分, 1時間, 8時間) and why. OK
// waits for a reason.
class frmSiteShelve1 : public QDialog {
    Q_OBJECT
public:
    explicit frmSiteShelve1(QWidget *parent = nullptr);
    int minutes() const;
    QString reason() const;
    QComboBox *DurationCombo = nullptr;
    QLineEdit *ReasonEdit = nullptr;
    QPushButton *OkButton = nullptr;
    QPushButton *CancelButton = nullptr;
};

class frmSites1 : public QWidget {
    Q_OBJECT
public:
    frmSites1();
    ~frmSites1() override;

    // Applies the stored size, place, sort order and column widths, or a default place.
    void loadPlace();
    // "確認": the selected rows' alarms, acknowledged by the login name.
    void Command_Acknowledge();
    // "一時抑制": the selected rows' alarms shelved for the time and reason the dialog asks.
    void Command_Shelve();
    // "抑制解除": the selected rows' shelved alarms back.
    void Command_Unshelve();
    // "取得元設定".
    void Command_Broker();
    // The site of the row at index (of the view) in the trend window.
    void openHistory(const QModelIndex &index);

    SiteMonitor *monitor() const { return m_monitor; }
    SiteBoard *board() const { return m_monitor->board(); }
    SiteTableModel *model() const { return m_model; }
    SiteFilterModel *proxy() const { return m_proxy; }
    SiteAlarmList *alarmList() const { return m_alarms; }
    MqttClient *client() const { return m_monitor->client(); }

    QLineEdit *FilterEdit = nullptr;
    QTableView *SiteTable = nullptr;
    QTableView *AlarmTable = nullptr; // 警報一覧: every alarm not normal, newest first
    QPushButton *AckButton = nullptr;
    QPushButton *ShelveButton = nullptr;
    QPushButton *UnshelveButton = nullptr;
    QPushButton *BrokerButton = nullptr;
    QPushButton *CloseButton = nullptr;
    QLabel *SourceLabel = nullptr; // the broker and whether it is connected
    QLabel *WatchLabel = nullptr;  // the watcher's configuration file and its sites
    QLabel *AlarmLabel = nullptr;  // the last alarm raised, spoken by assistive technology

    // The rows are sorted again at most once a second (kResortMs), when what they are sorted
    // by changed, and never while the pointer is over the table: rows never move under a
    // click, and 200 sites sorted by a live column cost what the site order costs.
    static constexpr int kResortMs = 1000;
    int resorts() const { return m_resorts; }
    bool pointerOverTable() const { return m_pointerOver; }

protected:
    void closeEvent(QCloseEvent *e) override;
    bool eventFilter(QObject *o, QEvent *e) override;

private:
    void buildControls();
    // The row's context menu: "設定の相違を表示" and "保守接続の情報".
    void addSettingsMenu();
    void showBoard(SiteBoard *board);
    void closeWindow();
    void alarmRaised(const QString &text);
    void countChanged(int count);
    // The status line when nothing is unacknowledged: 警報なし, or the alarms that still hold.
    void showQuiet();
    // 確認, 一時抑制 and 抑制解除 enabled, or disabled with the reason in their tooltips.
    void updateAckButton();
    // The sites of the selected rows, or of the current row when none is selected.
    QStringList selectedNames() const;
    void recordColumns();
    qint32 placeState() const;
    // The sort column's values changed (or rows came): sort again at the next tick.
    void sortChanged(const QModelIndex &from, const QModelIndex &to);
    void resortTick();
    SiteMonitor *m_monitor;
    SiteTableModel *m_model = nullptr;
    SiteAlarmList *m_alarms = nullptr;
    SiteFilterModel *m_proxy = nullptr;
    ChildForm m_form;
    WindowTimer *m_resortTimer = nullptr;
    bool m_sortDirty = false;
    bool m_pointerOver = false;
    int m_resorts = 0;
};
