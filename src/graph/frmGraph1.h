#pragma once
// "ｸﾞﾗﾌｨｶﾙ表示ﾊﾟﾈﾙ": a level meter. A vertical scale from 0 to the input type's full scale,
// the channels' thresholds from the editor's grid as dotted lines and the newest reading
// as a solid line, zoomed and scrolled vertically. The plot is drawn in the twips of the
// classic picture box (one pixel is 15 twips at 96 DPI) onto a canvas the plot shows.
#include "core/modChildForm.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QWidget>

class frmGraph1;
extern frmGraph1 *const &g_frmGraph1; // the open graph, or null

class frmGraph1 : public QWidget {
    Q_OBJECT
public:
    frmGraph1();
    ~frmGraph1() override;

    // Applies the stored size and place to the window's frame, or by default places it
    // below the editor (its geometry in the frame) with the right edges in line.
    void loadPlace(const QRect &editor);

    void subGraphDraw();
    // Asks for the level line again after a redraw that left it out: drawn from the newest
    // reading once the event loop is free.
    void subRefreshLine();
    void subPreView_SetColor();
    void g_subGraph_Ini();
    void g_subDraw_H_Line(double myFig, qint32 mColor);
    void g_subDraw_H_Line2(double myFig, qint32 mColor);
    void g_subDraw_H_Line_All();
    void SetScrollRange();
    // The level line from the newest reading, on each reading and after a redraw: only when
    // its value text changed since it was last drawn, or a refresh asked for it.
    void subLevelDraw();
    void Slider1_Change();
    void FlatScrollBar1_Change();
    // "+" (1) and "-" (0).
    void Command2_Click(int index);

    // The plot's scale position of a value and its y in the plot (twips); false when the
    // value lies outside the part of the scale shown.
    bool valueY(double v, double &y) const;
    // The scale position (0 = full-scale end) of part of whole divisions up from 0.
    double scalePos(double part, double whole) const;
    // The plot's y (twips) of a scale position; false when it lies outside the part shown.
    bool visibleAt(double pos, double &y) const;
    // A horizontal line at value v from x0 to x1 (twips), when v is on the scale.
    void drawValueLine(double v, qint32 colour, Qt::PenStyle style, double x0, double x1);
    // A twips coordinate as the canvas pixel it falls on.
    static int px(double twips);
    const QImage &canvas() const { return m_canvas; }

    QWidget *Picture1 = nullptr; // the plot
    QScrollBar *FlatScrollBar1 = nullptr;
    QWidget *Picture2 = nullptr; // the side panel
    QGroupBox *ZoomFrame = nullptr;
    QSlider *Slider1 = nullptr;
    QWidget *Picture3 = nullptr; // the channel panel
    QCheckBox *Check1[8] = {};
    QPushButton *Command2[2] = {};
    QWidget *Picture4 = nullptr; // the legend
    QLabel *Label1[8] = {};
    QPushButton *Command1 = nullptr; // "閉じる"

    float sngGraphHeight = 0, sngGraphWidth = 0, sngXZero = 300, sngYZero = 0;
    qint16 intDivide_Y = 5;
    float sngOneSeg_Y = 0;
    qint32 LineColor0 = 0;
    qint16 intZoom = 1;
    float sngZoomHeight = 0;
    float sngViewTop = 0;
    qint32 lngScrollValue = 0;
    qint32 lngScrollMin = 1;
    qint16 flgScrollSetting = 0;
    qint16 flgGraphLoading = 0;
    qint16 flgRefreshLevel = 0;
    QString strLastValue;

protected:
    bool eventFilter(QObject *o, QEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void buildControls();
    void layoutControls();
    void paintLegend();
    void scrollBy(int direction);
    // Up, Down and, with Shift, Ctrl or Alt, Z and X: true when the key was the window's.
    bool windowKey(QKeyEvent *e);
    // The plot as a short text, its accessible name: the level drawn last and the
    // thresholds of the channels shown.
    void describePlot();
    QImage m_canvas;
    QString m_levelText;
    bool m_levelQueued = false;
    ChildForm m_form;
    QStringList m_thresholdText;
};


// The window's limits (twips): 5655-18780 wide, 3885-12870 high.
constexpr int kGraphMinWidth = 5655, kGraphMaxWidth = 18780, kGraphMinHeight = 3885, kGraphMaxHeight = 12870;
