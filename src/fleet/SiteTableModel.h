#pragma once
// The site list's table: one row per site of a SiteBoard, in the board's order, and the
// columns the office reads: サイト, 水位, the last hour's trend, 出力, 状態, 最終受信, 警報, and
// 設定 (the last audit of the site's settings: 一致, 相違 N件, or 未確認 before any; its
// tooltip lists the differences).
// Every cell has a text (Qt::DisplayRole, and the same as Qt::AccessibleTextRole, so a
// screen reader reads each cell as its value: the trend as its range, the lamps as on/off),
// a value to sort by (kSortRole), and an alarm row is red until acknowledged. The age column
// counts up: the model refreshes it once a second by its own timer.
//
// A change of a row tells the views only the cells that changed (a reading: its value, its
// trend, its age, its lamps when they changed), each cell a dataChanged of its own, so a view
// repaints those cells where they are in view and asks nothing of the other rows; a change of
// the whole row's look (its alarm's colours, its values turned stale) tells the whole row.
#include "fleet/SiteBoard.h"

#include <QAbstractTableModel>
#include <QObject>

#include <array>
#include <memory>

class WindowTimer;

class SiteTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColSite, ColValue, ColTrend, ColOutputs, ColLink, ColAge, ColAlarm, ColSettings, ColumnCount };
    static constexpr int kSortRole = Qt::UserRole + 1;
    static constexpr int kNameRole = Qt::UserRole + 2; // the site's name, whatever the column
    static constexpr int kOutputsRole = Qt::UserRole + 3; // -1 or the eight bits
    static constexpr int kTrendRole = Qt::UserRole + 4;   // QList<QPointF>: elapsed ms, value (Sparkline::points)
    // True for a row whose values are no longer current (切断, ｻｰﾋﾞｽ停止, 未接続): its value,
    // trend and lamps are greyed and their age told.
    static constexpr int kStaleRole = Qt::UserRole + 5;

    explicit SiteTableModel(SiteBoard *board, QObject *parent = nullptr);
    ~SiteTableModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    static QString columnCaption(int column);
    // "12秒前", "3分05秒前", "2時間14分前"; "-" before the first reading.
    static QString ageText(qint64 ms);
    // The outputs for assistive technology: "出力1 ON, 出力2 OFF, ..."; "-" before any reading.
    static QString outputsText(int outputs);
    // One lamp's words, for its tooltip: "出力3: ON"; "出力3: -" before any reading.
    static QString lampText(int outputs, int ch);
    // Whether a row's values are stale (its link 切断, ｻｰﾋﾞｽ停止 or 未接続).
    static bool staleRow(const BoardRow &r);
    // What a stale value is told with: " (古い値 3分05秒前)".
    QString staleNote(const BoardRow &r) const;
    // The trend for assistive technology: its range over the hour.
    static QString trendText(const Sparkline &trend, const QString &unit);
    // The alarm column: the cause of a latched alarm, else the causes that still hold.
    static QString alarmText(const SiteAlarm &alarm);
    // The service's alarms of a site in words, the most pressing first, each state once with
    // its first cause and the count of the others: "未確認 出力1 ON 他7件", "確認済 ...",
    // "復帰未確認 ...", "抑制中 (残り15分) ...", "保守中 ..."; empty when none.
    static QString serviceText(const SiteAlarms &alarms, const QDateTime &now);
    // The 設定 column: "一致", "相違 2件", "未確認"; and its tooltip, one line per difference
    // ("ﾋｽﾃﾘｼｽ: 0.10 V → 0.13 V") after the golden file and the time of the read.
    static QString settingsText(const BoardRow &r);
    static QString settingsTip(const BoardRow &r);
    // The most pressing of the service's states (Normal when none).
    static AlarmState serviceState(const SiteAlarms &alarms);
    // A state in the cell's words: 未確認, 確認済, 復帰未確認, 抑制中 (残りN分), 保守中; empty
    // for Normal.
    static QString stateText(AlarmState state, const QDateTime &shelvedUntil, const QDateTime &now);
    // The text colour of a row (or a line of the alarm list) in that state; invalid for the
    // default.
    static QVariant stateColour(AlarmState state);

    SiteBoard *board() const { return m_board; }

private:
    QString text(int row, int column) const;
    // What a row shows, a key a cell and one for the whole row's look: equal keys, the same
    // cell.
    struct Look {
        std::array<size_t, ColumnCount> cell{};
        size_t row = 0;
    };
    Look lookOf(int row) const;
    void rowChanged(const QString &name);
    SiteBoard *m_board;
    QList<Look> m_looks; // beside the board's rows, as last told
    WindowTimer *m_ageTimer = nullptr;
};
