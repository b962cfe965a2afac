#pragma once
// The application's own settings files: "qvo.ini" (port, sampling time, last file) and
// "frmst.tmp" (the places of the frame and the monitor windows), and the table of
// window positions the windows read when they open and write when they close.
#include <QRect>
#include <QString>
#include <functional>

extern qint16 g_intCommPort;            // the controller's COM port: 1 = COM1; 100 not set; 0 no usable port
extern const qint32 &g_lngSamplingTime; // input monitor sampling time, 20 to 2000 ms
void g_subSamplingTimeSet(qint32 ms);

struct FormPos {
    qint32 Height = 0;
    qint32 Left = 0;
    qint32 Top = 0;
    qint32 Width = 0;
    qint32 State = 0;
};
// Read-only views; each window records its own place through g_subFormPosSet.
extern const FormPos (&g_FormPos)[31];
extern const qint16 &g_intFormPosDefault; // -1 when "frmst.tmp" could not be used
void g_subFormPosSet(int id, const FormPos &pos); // ids outside 0 to 30 change nothing
void g_subFormPosDefaultSet(qint16 fallback);

bool g_funcIniFileLoad();
bool g_funcIniFileSave(qint16 port);
bool g_funcFormPosLoad();
bool g_funcFormPosSave();
// The windows take their default places (the frame centred, the editor at 0, 0), as when
// "frmst.tmp" could not be used: g_FormPos all zero and g_intFormPosDefault -1.
void g_subFormPosDefaultPlaces();

// The bytes of "qvo.ini" with these values (three lines, CR LF).
QByteArray IniFileBytes(qint16 port, qint32 samplingMs, const QString &userFile);
// The bytes of "frmst.tmp" holding the table: 31 quoted records, CR LF.
QByteArray FormPosFileBytes(const FormPos (&table)[31]);
void g_subFormPosGet(int id);
// How window id records its geometry and state into g_FormPos: each window sets its
// recorder while it exists (and clears it with an empty function when it goes).
void g_subFormPosRecorderSet(int id, std::function<void()> recorder);

// A window's geometry in pixels as a record (twips) with the given state, and back.
FormPos FormPosFromPx(const QRect &r, qint32 state);
QRect FormPosToPx(const FormPos &p);

// One "frmst.tmp" record (41 characters, without quotes).
QString FormPosRecord(int id, const FormPos &p);
