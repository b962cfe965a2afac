#pragma once
// The settings grid: a table whose row 0 and column 0 are fixed caption cells, with a
// current cell (Row, Col) whose Text is read and written, and cell geometry in twips.
#include <QTableWidget>

class MSFlexGrid : public QTableWidget {
    Q_OBJECT
public:
    explicit MSFlexGrid(QWidget *parent = nullptr);

    void setRowsCols(int rows, int cols);
    int Rows() const { return rowCount(); }
    int Cols() const { return columnCount(); }
    int Row() const { return m_row; }
    int Col() const { return m_col; }
    void setRow(int r) { m_row = r; }
    void setCol(int c) { m_col = c; }
    // Makes (r, c) the current cell, selected and scrolled into view.
    void showCell(int r, int c);
    // Marks a data cell with a frame in the highlight colour that shows whether the grid has
    // the focus or not (a window over the editor points at it); an invalid cell, or one
    // outside the data cells, takes the mark away. Rebuilding the grid takes it away too.
    void markCell(int r, int c);
    // The marked cell (row, column), or (-1, -1).
    int markedRow() const { return m_markRow; }
    int markedCol() const { return m_markCol; }
    // Text of the current cell.
    QString Text() const { return TextMatrix(m_row, m_col); }
    void setText(const QString &t) { setTextMatrix(m_row, m_col, t); }
    QString TextMatrix(int r, int c) const;
    void setTextMatrix(int r, int c, const QString &t);
    // Centre alignment of the current cell (the classic alignment value 4).
    void setCellAlignmentCenter();
    int ColWidth0() const;  // twips
    int RowHeight0() const; // twips
    // The current cell's place relative to the grid, in pixels.
    QRect CellRect() const;

signals:
    void cellClicked();
    void enterPressed();

protected:
    void mouseReleaseEvent(QMouseEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void paintEvent(QPaintEvent *e) override;

private:
    int m_row = 0;
    int m_col = 0;
    int m_markRow = -1;
    int m_markCol = -1;
};
