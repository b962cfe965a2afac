#pragma once
// The base of the suites that drive the settings editor: every test case starts the
// application on a seeded data folder (f) and ends checking that no box came unexpected.
// With it, the editor's widgets as a user works them.
#include "support/AppFixture.h"

#include <QObject>

class MSFlexGrid;
class QLineEdit;

class EditorSuite : public QObject {
    Q_OBJECT
protected:
    // Writes bytes as the file name in the data folder and opens it as the document
    // (no changed-contents question); the document's title is then name.
    void openDocument(const QString &name, const QByteArray &bytes);
    AppFixture *f = nullptr;

private slots:
    void init();
    void cleanup();
};

MSFlexGrid *grid();
// Clicks the grid cell, as the mouse does.
void clickCell(int r, int c);
// Replaces the box's text by typing, then presses Enter unless told not to.
void typeInto(QLineEdit *box, const QString &text, bool enter = true);
