#pragma once
// The audit of a controller's settings against its site's approved file (the site's
// `golden=` .qvd file): the settings in which the 48 bytes the controller holds differ from
// the file's, named and shown as the comparison with the controller shows them, and the
// retained message of <prefix>/<site>/settings that the watcher publishes and the office
// view reads. qelvo-watchd and qelvo-cli audit compare the same way.
#include "settings/modUserData.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// One setting in which they differ: the first cell of the settings block that differs under
// it ("2D"), its name and each side's value as the comparison window shows them ("-" for a
// side without it).
struct AuditDifference {
    QString cell;
    QString name;
    QString golden;
    QString controller;
    bool operator==(const AuditDifference &) const = default;
};

struct SettingsAudit {
    QList<AuditDifference> differences;
    bool equal() const { return differences.isEmpty(); }
};

// 48 cells as 96 hex digits, upper case; and back (false for anything else).
QByteArray CellsHex(const MemCell *cells);
bool CellsFromHex(const QByteArray &hex, MemCell *cells);

// The settings in which the controller's cells (kSettingsCells) differ from goldenCells (96
// hex digits, as GoldenCells gives them). Where either side cannot be shown as settings,
// each differing cell is one difference by its address ("ｱﾄﾞﾚｽ 2C") with the two bytes.
SettingsAudit AuditSettings(const QByteArray &goldenCells, const MemCell *controller);

// The message of <prefix>/<site>/settings:
// {"site","time","golden","equal","differences":[{"cell","name","golden","controller"}],
//  "controller":"96 hex digits"}.
QByteArray SettingsAuditPayload(const QString &site, const QDateTime &readAt, const QString &golden,
                                const SettingsAudit &audit, const QByteArray &controllerHex);

// A settings message as the office view reads it; false when it is none (or too large).
struct SettingsAuditMessage {
    QString site;
    QDateTime time;
    QString golden;
    bool equal = false;
    QList<AuditDifference> differences;
    QByteArray controllerHex; // empty when the message has none that is valid
};
constexpr int kMaxSettingsMessageBytes = 64 * 1024;
constexpr int kMaxAuditDifferences = 200;
bool ParseSettingsAudit(const QByteArray &payload, SettingsAuditMessage *out);
