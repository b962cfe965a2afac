#include "support/AccessibleTree.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

namespace {
void walk(QAccessibleInterface *node, QList<QAccessibleInterface *> &out)
{
    out << node;
    for (int i = 0; i < node->childCount(); ++i)
        if (QAccessibleInterface *child = node->child(i))
            walk(child, out);
}
} // namespace

QList<QAccessibleInterface *> accessibleTree(QWidget *window)
{
    QList<QAccessibleInterface *> nodes;
    if (QAccessibleInterface *root = QAccessible::queryAccessibleInterface(window))
        walk(root, nodes);
    return nodes;
}

QAccessibleInterface *accessibleNode(QWidget *window, QObject *object)
{
    for (QAccessibleInterface *node : accessibleTree(window))
        if (node->object() == object)
            return node;
    return nullptr;
}

QStringList unreadableValues(QWidget *window)
{
    QStringList missing;
    const QList<QAccessibleInterface *> tree = accessibleTree(window);
    auto nodeOf = [&](QObject *o) -> QAccessibleInterface * {
        for (QAccessibleInterface *node : tree)
            if (node->object() == o)
                return node;
        return nullptr;
    };
    for (QLabel *label : window->findChildren<QLabel *>()) {
        if (!label->isVisible() || label->text().isEmpty())
            continue;
        QAccessibleInterface *node = nodeOf(label);
        QString read = node ? node->text(QAccessible::Name) : QStringLiteral("(no node)");
        if (node && node->role() == QAccessible::List) { // a label of lines read as a list, one item per line
            QStringList items;
            for (int n = 0; n < node->childCount(); ++n)
                items << (node->child(n)->role() == QAccessible::ListItem ? node->child(n)->text(QAccessible::Name) : QStringLiteral("?"));
            read = items.join(QLatin1Char('\n'));
        }
        if (read != label->text())
            missing << QStringLiteral("label \"%1\" read as \"%2\"").arg(label->text(), read);
    }
    for (QLineEdit *edit : window->findChildren<QLineEdit *>()) {
        if (!edit->isVisible() || edit->text().isEmpty())
            continue;
        QAccessibleInterface *node = nodeOf(edit);
        QAccessibleTextInterface *text = node ? node->textInterface() : nullptr;
        if (!text || text->text(0, text->characterCount()) != edit->text())
            missing << QStringLiteral("edit \"%1\"").arg(edit->text());
    }
    for (QListWidget *list : window->findChildren<QListWidget *>()) {
        if (!list->isVisible())
            continue;
        QAccessibleInterface *node = nodeOf(list);
        if (!node || node->role() != QAccessible::List || node->childCount() != list->count()) {
            missing << QStringLiteral("list of %1 lines").arg(list->count());
            continue;
        }
        for (int n = 0; n < list->count(); ++n) {
            QAccessibleInterface *item = node->child(n);
            if (!item || item->role() != QAccessible::ListItem || item->text(QAccessible::Name) != list->item(n)->text())
                missing << QStringLiteral("line %1 \"%2\"").arg(n).arg(list->item(n)->text());
        }
    }
    return missing;
}
