// The desktop notification of QtDialogs on a session bus of the test's own (dbus-daemon):
// without a notification service the call is dropped at once, and with one (a stand-in in
// this process) it arrives with the summary, the body and the application's name.
#include "platform/QtDialogs.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList received;
public slots:
    uint Notify(const QString &app, uint replaces, const QString &icon, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &hints, int timeout)
    {
        Q_UNUSED(replaces);
        Q_UNUSED(icon);
        Q_UNUSED(actions);
        Q_UNUSED(hints);
        Q_UNUSED(timeout);
        received << app + QLatin1Char('|') + summary + QLatin1Char('|') + body;
        return uint(received.size());
    }
};

class TestNotify : public QObject {
    Q_OBJECT
private slots:
    void notificationsOnTheSessionBus();
    void cleanupTestCase()
    {
        m_bus.kill();
        m_bus.waitForFinished(2000);
    }

private:
    QProcess m_bus;
};

void TestNotify::notificationsOnTheSessionBus()
{
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        QSKIP("no dbus-daemon");
    m_bus.start(daemon, {"--session", "--nofork", "--print-address=1"});
    QVERIFY(m_bus.waitForStarted(3000));
    QVERIFY(QTest::qWaitFor([&] { return m_bus.canReadLine(); }, 5000));
    const QByteArray address = m_bus.readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    QVERIFY(QDBusConnection::sessionBus().isConnected());

    // No service: nothing waits for an answer that does not come.
    QtDialogs d;
    QElapsedTimer t;
    t.start();
    d.notify(QStringLiteral("ｻｲﾄ警報"), QStringLiteral("nobody hears this"));
    QVERIFY2(t.elapsed() < 200, qPrintable(QString::number(t.elapsed())));

    QDBusConnection service = QDBusConnection::connectToBus(QString::fromUtf8(address), QStringLiteral("notifications"));
    FakeNotifications fake;
    QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &fake, QDBusConnection::ExportAllSlots));
    QVERIFY(service.registerService(QStringLiteral("org.freedesktop.Notifications")));
    d.notify(QStringLiteral("ｻｲﾄ警報"), QStringLiteral("川辺 (kawabe-1): 出力1 ON"));
    QVERIFY(QTest::qWaitFor([&] { return !fake.received.isEmpty(); }, 5000));
    QCOMPARE(fake.received, QStringList{QStringLiteral("Qelvo|ｻｲﾄ警報|川辺 (kawabe-1): 出力1 ON")});
}

QTEST_MAIN(TestNotify)
#include "tst_notify.moc"
