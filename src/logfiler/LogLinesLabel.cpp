#include "logfiler/LogLinesLabel.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QWindow>

namespace {

// One line of the list: its text is its name.
class LineItem : public QAccessibleInterface {
public:
    LineItem(LogLinesLabel *view, int row) : m_view(view), m_row(row) {}

    bool isValid() const override { return m_view && m_row < m_view->lines().size(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_view ? m_view->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return m_view ? QAccessible::queryAccessibleInterface(m_view) : nullptr; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *focusChild() const override { return nullptr; }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name && isValid() ? m_view->lines().at(m_row) : QString();
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        if (!m_view)
            return QRect();
        const QRect r = m_view->lineRect(m_row);
        return QRect(m_view->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        s.readOnly = true;
        s.invisible = !m_view || !m_view->isVisible();
        return s;
    }

private:
    QPointer<LogLinesLabel> m_view;
    int m_row;
};

// The label as a list of its lines.
class LinesList : public QAccessibleWidget {
public:
    explicit LinesList(LogLinesLabel *view) : QAccessibleWidget(view, QAccessible::List) {}
    ~LinesList() override
    {
        for (QAccessible::Id id : std::as_const(m_items))
            QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override { return int(view()->lines().size()); }
    QAccessibleInterface *child(int index) const override
    {
        if (index < 0 || index >= childCount())
            return nullptr;
        while (m_items.size() <= index)
            m_items << QAccessible::registerAccessibleInterface(new LineItem(view(), int(m_items.size())));
        return QAccessible::accessibleInterface(m_items.at(index));
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        for (int i = 0; i < m_items.size(); ++i)
            if (QAccessible::accessibleInterface(m_items.at(i)) == child)
                return i;
        return -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        const QPoint p = view()->mapFromGlobal(QPoint(x, y));
        for (int i = 0; i < childCount(); ++i)
            if (view()->lineRect(i).contains(p))
                return child(i);
        return nullptr;
    }

private:
    LogLinesLabel *view() const { return static_cast<LogLinesLabel *>(widget()); }
    mutable QList<QAccessible::Id> m_items;
};

QAccessibleInterface *linesFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("LogLinesLabel") && object && object->isWidgetType())
        return new LinesList(static_cast<LogLinesLabel *>(object));
    return nullptr;
}
} // namespace

LogLinesLabel::LogLinesLabel(QWidget *parent) : QLabel(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(linesFactory);
        return true;
    }();
    Q_UNUSED(installed);
    setTextFormat(Qt::PlainText);
}

void LogLinesLabel::setLines(const QStringList &lines)
{
    const QStringList before = m_lines;
    m_lines = lines;
    setText(lines.join(QLatin1Char('\n')));
    if (before.size() != lines.size()) {
        QAccessibleEvent e(this, QAccessible::ObjectReorder);
        QAccessible::updateAccessibility(&e);
        return;
    }
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i) == before.at(i))
            continue;
        QAccessibleEvent e(this, QAccessible::NameChanged);
        e.setChild(i);
        QAccessible::updateAccessibility(&e);
    }
}

QRect LogLinesLabel::lineRect(int i) const
{
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const int h = fontMetrics().lineSpacing();
    return QRect(area.left(), area.top() + i * h, area.width(), h);
}
