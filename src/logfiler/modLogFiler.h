#pragma once
// The log filer's state as the other windows see it, and what they may ask of it.
#include <QObject>

// -1 while the log filer logs (its run takes samples), 0 otherwise.
extern qint16 flgLogFilerOnWork;

class LogFilerEvents : public QObject {
    Q_OBJECT
signals:
    // Another window refused something because the log filer logs: its window comes to
    // the front so the user sees why.
    void bringToFrontRequested();
};
LogFilerEvents &logFilerEvents();
