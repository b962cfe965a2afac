#include "editor/MSFlexGrid.h"

#include "platform/Geometry.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace {
constexpr int kColWidthPx = 60;
constexpr int kRowHeightPx = 20;
const QColor kFixedBack(212, 208, 200);
} // namespace

MSFlexGrid::MSFlexGrid(QWidget *parent) : QTableWidget(parent)
{
    horizontalHeader()->hide();
    verticalHeader()->hide();
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::NoSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    horizontalHeader()->setMinimumSectionSize(10);
    verticalHeader()->setMinimumSectionSize(10);
    setFocusPolicy(Qt::StrongFocus);
    // The area beyond the cells is grey, as the data cells are white.
    QPalette p = palette();
    p.setColor(QPalette::Base, QColor(128, 128, 128));
    setPalette(p);
}

void MSFlexGrid::setRowsCols(int rows, int cols)
{
    markCell(-1, -1);
    clear();
    setRowCount(rows);
    setColumnCount(cols);
    for (int c = 0; c < cols; ++c)
        setColumnWidth(c, kColWidthPx);
    for (int r = 0; r < rows; ++r)
        setRowHeight(r, kRowHeightPx);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            auto *it = new QTableWidgetItem();
            it->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            it->setBackground(r == 0 || c == 0 ? kFixedBack : QColor(Qt::white));
            setItem(r, c, it);
        }
    }
    m_row = rows > 1 ? 1 : 0;
    m_col = cols > 1 ? 1 : 0;
}

QString MSFlexGrid::TextMatrix(int r, int c) const
{
    const QTableWidgetItem *it = item(r, c);
    return it ? it->text() : QString();
}

void MSFlexGrid::setTextMatrix(int r, int c, const QString &t)
{
    if (QTableWidgetItem *it = item(r, c))
        it->setText(t);
}

void MSFlexGrid::setCellAlignmentCenter()
{
    if (QTableWidgetItem *it = item(m_row, m_col))
        it->setTextAlignment(Qt::AlignCenter);
}

int MSFlexGrid::ColWidth0() const { return PxToTwips(columnWidth(0)); }
int MSFlexGrid::RowHeight0() const { return PxToTwips(rowHeight(0)); }

QRect MSFlexGrid::CellRect() const
{
    const QRect r = visualRect(model()->index(m_row, m_col));
    return r.translated(viewport()->pos());
}

void MSFlexGrid::showCell(int r, int c)
{
    if (r < 1 || c < 1 || r >= rowCount() || c >= columnCount())
        return;
    m_row = r;
    m_col = c;
    setCurrentCell(r, c);
    scrollToItem(item(r, c));
}

void MSFlexGrid::markCell(int r, int c)
{
    if (r < 1 || c < 1 || r >= rowCount() || c >= columnCount())
        r = c = -1;
    if (r == m_markRow && c == m_markCol)
        return;
    m_markRow = r;
    m_markCol = c;
    viewport()->update();
}

void MSFlexGrid::paintEvent(QPaintEvent *e)
{
    QTableWidget::paintEvent(e);
    if (m_markRow < 0)
        return;
    const QRect cell = visualRect(model()->index(m_markRow, m_markCol));
    if (!cell.isValid())
        return;
    // A light wash under a frame two pixels wide, inside the cell's grid lines: the text
    // stays black on nearly white.
    QPainter p(viewport());
    QColor wash = palette().color(QPalette::Highlight);
    wash.setAlpha(40);
    p.fillRect(cell, wash);
    p.setPen(QPen(palette().color(QPalette::Highlight), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(cell.adjusted(1, 1, -1, -1));
}

void MSFlexGrid::mouseReleaseEvent(QMouseEvent *e)
{
    QTableWidget::mouseReleaseEvent(e);
    const QModelIndex idx = indexAt(e->position().toPoint());
    if (!idx.isValid() || e->button() != Qt::LeftButton)
        return;
    // A click on a fixed cell leaves the current cell where it is.
    if (idx.row() == 0 || idx.column() == 0)
        return;
    m_row = idx.row();
    m_col = idx.column();
    setCurrentCell(m_row, m_col);
    emit cellClicked();
}

void MSFlexGrid::keyPressEvent(QKeyEvent *e)
{
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        emit enterPressed();
        return;
    }
    QTableWidget::keyPressEvent(e);
    const QModelIndex idx = currentIndex();
    if (idx.isValid() && idx.row() > 0 && idx.column() > 0) {
        m_row = idx.row();
        m_col = idx.column();
    }
}
