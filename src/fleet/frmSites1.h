#pragma once
// "ｻｲﾄ一覧ﾊﾟﾈﾙ": every site the watchers publish on a broker, one row each (SiteBoard through
// SiteTableModel), sorted by any column and found by name or title with the filter box.
// A raised alarm turns its row red until "確認" acknowledges it; it rings the bell, sends a
// desktop notification and is spoken by the status line under the table. The count of
// alarms not yet acknowledged stands in the window's title and (siteEvents) the frame's
// status bar. The sources ("取得元設定") are kept in the data folder's "sites.ini": a broker,
// and a watcher's configuration file whose sites the window polls itself, each on its own
// session; their ports are then taken (PortClaims), so the program's own link cannot open
// them meanwhile, and a site whose port the own link holds waits until it is free.
#include "core/modChildForm.h"
#include "fleet/MqttClient.h"
#include "fleet/SiteBoard.h"
#include "fleet/SiteTableModel.h"
#include "fleet/SiteWatch.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QWidget>

#include <memory>
#include <vector>

class frmSites1;
extern frmSites1 *const &g_frmSites1; // the open site list, or null

// Where the site list hears the watchers: the keys of the watcher's [mqtt] group.
struct SiteSource {
    QString url;              // mqtt://HOST:PORT or mqtts://HOST:PORT; empty: none set
    QString topicPrefix = QStringLiteral("qelvo");
    QString username;
    QString passwordFile;
    QString watchFile;        // a watcher's configuration file whose sites are polled here; empty: none
    bool operator==(const SiteSource &o) const = default;
};
// The data folder's "sites.ini"; defaults when it is missing or unreadable.
SiteSource LoadSiteSource();
// False (after the box that says why) when it could not be written.
bool SaveSiteSource(const SiteSource &s);

// The rows shown: a site whose name or title holds the filter's text, sorted by kSortRole
// (texts with their numbers as numbers).
class SiteFilterModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void setText(const QString &text);
    // Texts compared with their runs of digits as numbers, letters without case.
    static int naturalCompare(const QString &a, const QString &b);

protected:
    bool filterAcceptsRow(int row, const QModelIndex &parent) const override;
    bool lessThan(const QModelIndex &a, const QModelIndex &b) const override;

private:
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

class frmSites1 : public QWidget {
    Q_OBJECT
public:
    frmSites1();
    ~frmSites1() override;

    // Applies the stored size, place, sort order and column widths, or a default place.
    void loadPlace();
    // Connects to the sources (after a change, to the new ones); false with the reason shown in
    // SourceLabel (the broker) or WatchLabel (the file) when one cannot be used.
    bool useSource(const SiteSource &s);
    // "確認": the selected rows' alarms, acknowledged by the login name.
    void Command_Acknowledge();
    // "取得元設定".
    void Command_Broker();
    // The sites polled here (from the watcher's configuration file).
    const std::vector<std::unique_ptr<SiteWatch>> &localSites() const { return m_local; }
    // How a polled site's port is made (tests give simulated ones).
    static SitePortMaker &portMaker();
    // The site of the row at index (of the view) in the trend window.
    void openHistory(const QModelIndex &index);

    SiteBoard *board() const { return m_board; }
    SiteTableModel *model() const { return m_model; }
    SiteFilterModel *proxy() const { return m_proxy; }
    MqttClient *client() const { return m_mqtt.get(); }
    static QString loginName();
    // The alarm log in the data folder.
    static QString alarmLogPath();

    QLineEdit *FilterEdit = nullptr;
    QTableView *SiteTable = nullptr;
    QPushButton *AckButton = nullptr;
    QPushButton *BrokerButton = nullptr;
    QPushButton *CloseButton = nullptr;
    QLabel *SourceLabel = nullptr; // the broker and whether it is connected
    QLabel *WatchLabel = nullptr;  // the watcher's configuration file and its sites
    QLabel *AlarmLabel = nullptr;  // the last alarm raised, spoken by assistive technology

protected:
    void closeEvent(QCloseEvent *e) override;
    bool eventFilter(QObject *o, QEvent *e) override;

private:
    void buildControls();
    void newBoard();
    bool useBroker(const SiteSource &s);
    bool useWatchFile(const QString &path);
    void stopLocal();
    void closeWindow();
    void alarmRaised(int index, const QString &cause);
    void countChanged(int count);
    void recordColumns();
    qint32 placeState() const;
    SiteBoard *m_board = nullptr;
    SiteTableModel *m_model = nullptr;
    SiteFilterModel *m_proxy = nullptr;
    std::unique_ptr<MqttClient> m_mqtt;
    std::vector<std::unique_ptr<SiteWatch>> m_local;
    SiteSource m_source;
    QString m_prefix;
    ChildForm m_form;
};
