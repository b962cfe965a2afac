#pragma once
// The graph colours: the table g_lngColor (0x00BBGGRR) and the colour file "clr.ini".
#include <QByteArray>
#include <QObject>
#include <QtGlobal>

constexpr int kColors = 21;
// Read-only view of the table; g_subColorsSet replaces it, SetDefaultColors and
// LoadColorFile fill it.
extern const qint32 (&g_lngColor)[kColors];
void g_subColorsSet(const qint32 (&colors)[kColors]);

void SetDefaultColors();
// The defaults of entries 0 to 10.
const qint32 *DefaultColors();
bool LoadColorFile();
bool SaveColorFile();
// The one line of "clr.ini" holding the table (quoted, comma-separated, CR LF).
QByteArray ColorFileBytes(const qint32 (&colors)[kColors]);
// The table as it starts without "clr.ini": the defaults, entries 11 to 20 zero.
void DefaultColorTable(qint32 (&colors)[kColors]);

// What the colour table announces: the windows that draw with it listen.
class GraphEvents : public QObject {
    Q_OBJECT
signals:
    // The colour settings window's OK applied its colours to g_lngColor.
    void colorsApplied();
};
GraphEvents &graphEvents();
