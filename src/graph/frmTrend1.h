#pragma once
// "ﾄﾚﾝﾄﾞ表示ﾊﾟﾈﾙ": the level's history. Live, it plots the monitor's readings of this run of
// the tool (kept whether the window is open or not, for the last 24 hours) and follows the
// newest; "ﾛｸﾞﾌｧｲﾙを開く" (or a file dropped on the window) shows a log file of the log
// filer instead, and the office view shows a site's readings in it ("ｻｲﾄ: 川辺 (k1)"),
// following the newest as live; "最新" goes back to the live readings from either. Spans "1分" to "24時間", the
// thresholds of the checked channels from the editor's grid (none over a site: they are this
// tool's controller's), "画像で保存" as PNG with a
// title line that says what it shows. The view keys (Left, Right, +, -, Home, End) move the
// plot from anywhere in the window.
#include "core/modChildForm.h"
#include "graph/TrendPlot.h"
#include "logfiler/modLogReader.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <memory>

class WindowTimer;

class frmTrend1;
extern frmTrend1 *const &g_frmTrend1; // the open trend window, or null

class frmTrend1 : public QWidget {
    Q_OBJECT
public:
    frmTrend1();
    ~frmTrend1() override;

    // Applies the stored size and place (and span) to the window's frame, or a default place.
    void loadPlace();

    // The spans of the choice, in ms, and their captions.
    static constexpr int kSpans = 4;
    static qint64 spanMs(int index);
    static QString spanCaption(int index);

    // Shows the log file at path; false (after the box that says why) when it is no log,
    // and then nothing changes.
    bool openLog(const QString &path);
    // "ﾛｸﾞﾌｧｲﾙを開く", "画像で保存" and "最新".
    // Shows a site's history (values in hundredths of unit from kHundredthsZero), caption
    // "<title> (<name>)", following its newest reading; the window keeps the series alive.
    void showSite(const QString &caption, std::shared_ptr<const TrendSeries> series, const QString &unit);
    // The site's series grew: redrawn as a live reading is (a series not shown is ignored).
    void siteReadingArrived(const TrendSeries *series);
    bool showingSite() const { return m_site != nullptr; }
    const TrendSeries *site() const { return m_site.get(); }
    void Command_OpenLog();
    void Command_SavePicture();
    void Command_Latest();
    bool showingLog() const { return m_log != nullptr; }
    const LogFileData *log() const { return m_log.get(); }

    // The thresholds from the editor's grid for the checked channels, and the plot's
    // description for assistive technology.
    void subThresholdsSet();
    QString describe() const;
    // The picture "画像で保存" writes: a title line (the dates shown, the source, the span and
    // the unit) over the plot, with the same facts as its PNG texts.
    QImage savedPicture() const;
    // A span as words: "10分", "1時間30分", "2日3時間".
    static QString spanWords(qint64 ms);

    TrendPlot *Plot = nullptr;
    QComboBox *SpanCombo = nullptr;
    QPushButton *LatestButton = nullptr;
    QPushButton *OpenButton = nullptr;
    QPushButton *SaveButton = nullptr;
    QPushButton *CloseButton = nullptr;
    QCheckBox *Check1[8] = {};
    QLabel *PointerLabel = nullptr; // the reading under the pointer
    QLabel *SourceLabel = nullptr;  // what is shown: live, the log file, or a site

protected:
    bool eventFilter(QObject *o, QEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    void dragEnterEvent(QDragEnterEvent *e) override;
    void dropEvent(QDropEvent *e) override;

private:
    void buildControls();
    // The view keys; false for any other key.
    bool windowKey(QKeyEvent *e);
    void closeWindow();
    void showLive();
    // After a reading: redraws at most once per the time a pixel column of the view
    // covers (within 50 ms to 1 s), not at every reading.
    void readingArrived();
    void redrawSoon();
    // "ｻｲﾄ: 川辺 (k1)", or empty while no site is shown.
    QString siteText() const;
    void refresh();
    void viewChanged();
    int m_spanIndex = 1;
    std::unique_ptr<LogFileData> m_log;
    QString m_logPath;
    std::shared_ptr<const TrendSeries> m_site;
    QString m_siteCaption;
    // A log file is being read (its events run meanwhile); a close asked then waits for it.
    bool m_reading = false;
    bool m_closeAsked = false;
    std::unique_ptr<WindowTimer> m_redraw;
    ChildForm m_form;
};
