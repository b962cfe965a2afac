#pragma once
// The log filer's list of the last lines written: on screen one label with the lines one
// under the other, as always; to assistive technology a list with one item per line, in
// the order shown, so that a screen reader can step through the lines one by one.
#include <QLabel>
#include <QStringList>

class LogLinesLabel : public QLabel {
    Q_OBJECT
public:
    explicit LogLinesLabel(QWidget *parent = nullptr);

    // Shows the lines, each on a line of its own (empty ones included), and tells
    // assistive technology which lines changed.
    void setLines(const QStringList &lines);
    const QStringList &lines() const { return m_lines; }
    // Where line i is drawn, in the label's coordinates.
    QRect lineRect(int i) const;

private:
    QStringList m_lines;
};
