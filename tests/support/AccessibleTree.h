#pragma once
// A window read as assistive technology reads it: through Qt's accessibility interfaces,
// from the window's node down.
#include <QAccessible>
#include <QList>
#include <QString>

class QWidget;

// Every node under the window's node, depth first (the window's own node first).
QList<QAccessibleInterface *> accessibleTree(QWidget *window);
// The node that stands for object in the window's tree; null when the walk does not reach it.
QAccessibleInterface *accessibleNode(QWidget *window, QObject *object);
// What is shown of every visible label, line edit and list of the window that its node does
// not read out (a label's or a list line's name, a line edit's text; a label of lines may be
// read as a list of them); empty when all is there.
QStringList unreadableValues(QWidget *window);
