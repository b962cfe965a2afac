#pragma once
// "警報一覧": every alarm of a SiteBoard that is not normal, one line each, newest first: when
// it was raised, the site (or the watcher, or the broker), its cause and its state in the
// words of the table's 警報 cell (未確認, 確認済, 復帰未確認, 抑制中 (残り15分), 保守中). A site
// whose watcher keeps its alarms lists the service's; the others the view's own latch, read
// as the same states (latched with its cause holding: 未確認; latched, the cause gone:
// 復帰未確認; acknowledged while it holds: 確認済).
//
// The list is made again after a change of the alarms (at most once per turn of the event
// loop, however many came together), never after a reading, and once a minute while an
// alarm is shelved, for the time left.
#include "fleet/SiteBoard.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QList>
#include <QString>

class WindowTimer;

struct AlarmLine {
    QDateTime raised;  // invalid when not known
    QString name;      // the site's name, or the watcher's client id, or the broker's address
    QString shown;     // the site's title (or name)
    AlarmCause cause{};
    AlarmState state = AlarmState::Normal;
    QDateTime shelvedUntil;
};

class SiteAlarmList : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColRaised, ColSite, ColCause, ColState, ColumnCount };
    static constexpr int kNameRole = Qt::UserRole + 2; // the site's name, whatever the column

    explicit SiteAlarmList(SiteBoard *board, QObject *parent = nullptr);
    ~SiteAlarmList() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The lines of the board, newest first.
    static QList<AlarmLine> linesOf(const SiteBoard *board);
    const QList<AlarmLine> &lines() const { return m_lines; }
    // Made again now (the view calls it after a change; tests too).
    void refresh();

private:
    void changed();
    SiteBoard *m_board;
    QList<AlarmLine> m_lines;
    bool m_pending = false;
    WindowTimer *m_minute = nullptr;
};
