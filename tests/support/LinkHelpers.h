#pragma once
// What the link suites share: the controller's faults as test data, the connection
// state's texts and colours, the check that an exchange left nothing behind, a recording
// port that answers from a table, and a start connected to the healthy simulated
// controller.
#include "support/AppFixture.h"

#include <QColor>
#include <QHash>
#include <QMetaType>

using Fault = CtrlModel::Fault;
Q_DECLARE_METATYPE(CtrlModel::Fault)

extern const QColor kRed, kGreen, kYellow;
// A network line that drops while the monitor runs: the monitor has ended with its boxes
// within this many milliseconds of real time (the fault matrix's bound, and the end-to-end
// test's through a real device server).
constexpr int kNetDropBoundMs = 3000;
// The send's box when the line dropped while the command went out (Retry/Cancel).
extern const QString kSendLost;

// The link label's colour: red disconnected, green connected, yellow while checking.
QColor linkColour();
// The status bar's state panel for a connection state.
QString stateText(int state);

// After any exchange: nothing busy, no timer running, the lock released, no progress
// window, the display telling the state the variable holds.
void checkSane();

// The recording port answers each frame (without CR) from a table; frames not in it get nothing.
void answerWith(RecordingPort &rec, const QHash<QByteArray, QByteArray> &replies);

// Starts the application on a seeded data folder and connects to the healthy simulated
// controller.
void startConnected(AppFixture &f);
