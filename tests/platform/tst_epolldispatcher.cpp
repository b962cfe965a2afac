// The epoll dispatcher as qelvo-watchd runs it: installed for the main thread before the
// application object, with Qt's own timers, sockets, queued calls and nested loops on it.
#include "platform/EpollDispatcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
EpollDispatcher *dispatcher()
{
    return qobject_cast<EpollDispatcher *>(QAbstractEventDispatcher::instance());
}

// Runs the loop until done() or ms of wall time.
bool spin(int ms, const std::function<bool()> &done)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return done();
}
} // namespace

class TestEpollDispatcher : public QObject
{
    Q_OBJECT
private slots:
    void installedForTheMainThread();
    void timersFireInOrderAndKeepTheirBeat();
    void aTimerKilledOrRestartedByAnotherInTheSamePass();
    void aNestedLoopDoesNotFireTheSameTimerInside();
    void queuedCallsFromOtherThreadsWakeTheLoop();
    void quitEndsABlockedLoop();
    void manySocketsEchoEveryByte();
    void aClosedDescriptorsNumberTakenAgainBeforeTheNextWait();
    void aHangUpReachesTheReader();
};

void TestEpollDispatcher::installedForTheMainThread()
{
    QVERIFY(dispatcher());
    QVERIFY(dispatcher()->isValid());
}

void TestEpollDispatcher::timersFireInOrderAndKeepTheirBeat()
{
    // Three timers of 10, 25 and 60 ms for 600 ms, and single shots of 0, 5 and 40 ms:
    // each fires about as often as its interval says (a timer that falls behind starts
    // anew, never fires twice to catch up), the single shots once each in their order.
    QStringList order;
    int fired[3] = {};
    const int intervals[3] = {10, 25, 60};
    std::vector<std::unique_ptr<QTimer>> timers;
    for (int i = 0; i < 3; ++i) {
        auto t = std::make_unique<QTimer>();
        t->setTimerType(Qt::PreciseTimer);
        t->setInterval(intervals[i]);
        connect(t.get(), &QTimer::timeout, this, [&fired, i] { ++fired[i]; });
        t->start();
        timers.push_back(std::move(t));
    }
    QTimer::singleShot(40, this, [&] { order << "40"; });
    QTimer::singleShot(5, this, [&] { order << "5"; });
    QTimer::singleShot(0, this, [&] { order << "0"; });
    QElapsedTimer wall;
    wall.start();
    spin(600, [] { return false; });
    const double elapsed = double(wall.elapsed());
    QCOMPARE(order, QStringList({"0", "5", "40"}));
    for (int i = 0; i < 3; ++i) {
        const double expected = elapsed / intervals[i];
        QVERIFY2(fired[i] <= expected + 1 && fired[i] >= expected * 0.6,
                 qPrintable(QStringLiteral("%1 ms: %2 of %3").arg(intervals[i]).arg(fired[i]).arg(expected)));
    }
    // remainingTime follows the beat; a stopped timer has none.
    QVERIFY(timers[2]->remainingTime() >= 0 && timers[2]->remainingTime() <= 60);
    timers[2]->stop();
    QCOMPARE(timers[2]->remainingTime(), -1);
    const int held = dispatcher()->timerCount();
    timers.clear();
    QCOMPARE(dispatcher()->timerCount(), held - 2);
}

void TestEpollDispatcher::aTimerKilledOrRestartedByAnotherInTheSamePass()
{
    // Two timers due in the same pass: the first stops the second, which then must not
    // fire; a third, restarted by the first, fires a full interval later, not in this pass.
    QTimer a, b, c;
    for (QTimer *t : {&a, &b, &c}) {
        t->setTimerType(Qt::PreciseTimer);
        t->setSingleShot(true);
    }
    int firedB = 0;
    QElapsedTimer sinceA;
    qint64 cAfterA = -1;
    connect(&a, &QTimer::timeout, this, [&] {
        b.stop();
        c.start(50);
        sinceA.start();
    });
    connect(&b, &QTimer::timeout, this, [&] { ++firedB; });
    connect(&c, &QTimer::timeout, this, [&] { cAfterA = sinceA.elapsed(); });
    a.start(20);
    b.start(20);
    c.start(20);
    // All three fall due while the loop does not run.
    QThread::msleep(40);
    QVERIFY(spin(2000, [&] { return cAfterA >= 0; }));
    QCOMPARE(firedB, 0);
    QVERIFY2(cAfterA >= 45, qPrintable(QString::number(cAfterA)));
}

void TestEpollDispatcher::aNestedLoopDoesNotFireTheSameTimerInside()
{
    // A timer whose handler runs a nested loop for 100 ms (as a blocking wait does): other
    // timers keep firing inside, the same one does not re-enter its handler.
    QTimer outer, inner;
    outer.setInterval(10);
    inner.setInterval(10);
    int depth = 0, maxDepth = 0, outerRuns = 0, innerFires = 0;
    connect(&inner, &QTimer::timeout, this, [&] { ++innerFires; });
    connect(&outer, &QTimer::timeout, this, [&] {
        ++outerRuns;
        maxDepth = qMax(maxDepth, ++depth);
        if (outerRuns == 1) {
            QEventLoop nested;
            QTimer::singleShot(100, &nested, &QEventLoop::quit);
            nested.exec();
        }
        --depth;
    });
    outer.start();
    inner.start();
    QVERIFY(spin(3000, [&] { return outerRuns >= 3; }));
    QCOMPARE(maxDepth, 1);
    QVERIFY2(innerFires >= 5, qPrintable(QString::number(innerFires)));
}

void TestEpollDispatcher::queuedCallsFromOtherThreadsWakeTheLoop()
{
    // With no timer due, the loop sleeps in epoll_wait; calls queued from four threads,
    // 500 each, wake it and all arrive, the wake-up written once per sleep, not per call.
    QObject receiver;
    std::atomic<int> arrived{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&receiver, &arrived] {
            for (int i = 0; i < 500; ++i) {
                QMetaObject::invokeMethod(&receiver, [&arrived] { ++arrived; }, Qt::QueuedConnection);
                if (i % 100 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(10000);
    QTimer check;
    connect(&check, &QTimer::timeout, &loop, [&] {
        if (arrived.load() == 2000)
            loop.quit();
    });
    check.start(2);
    loop.exec();
    for (auto &t : threads)
        t.join();
    QCOMPARE(arrived.load(), 2000);

    // A single call from another thread to a loop asleep with nothing else to do.
    check.stop();
    QElapsedTimer wall;
    wall.start();
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    late.join();
    QVERIFY2(wall.elapsed() < 5000, qPrintable(QString::number(wall.elapsed())));
}

void TestEpollDispatcher::quitEndsABlockedLoop()
{
    // exit() from another thread interrupts the wait.
    QEventLoop loop;
    QElapsedTimer wall;
    wall.start();
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        loop.exit(7);
    });
    const int rc = loop.exec();
    t.join();
    QCOMPARE(rc, 7);
    QVERIFY(wall.elapsed() < 5000);
}

void TestEpollDispatcher::manySocketsEchoEveryByte()
{
    // 300 connections to an echo server in this thread, each sending 20 lines one after the
    // other: every byte comes back, and the epoll set changed far less often than a socket
    // switched its write notifier on and off (each write is flushed at once, as the program's
    // ports do); closed, the set is as before.
    const int baseline = dispatcher()->watchedDescriptors();
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    std::vector<QTcpSocket *> accepted;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *s = server.nextPendingConnection()) {
            accepted.push_back(s);
            connect(s, &QTcpSocket::readyRead, s, [s] {
                s->write(s->readAll());
                s->flush();
            });
        }
    });
    constexpr int kClients = 300, kLines = 20;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    std::vector<QByteArray> received(kClients);
    std::vector<int> sent(kClients, 0);
    for (int i = 0; i < kClients; ++i) {
        auto c = std::make_unique<QTcpSocket>();
        QTcpSocket *raw = c.get();
        connect(raw, &QTcpSocket::connected, this, [raw, &sent, i] {
            raw->write(QByteArray("line 0 of ") + QByteArray::number(i) + '\n');
            raw->flush();
            sent[i] = 1;
        });
        connect(raw, &QTcpSocket::readyRead, this, [raw, &received, &sent, i] {
            received[i] += raw->readAll();
            if (sent[i] < kLines && received[i].count('\n') == sent[i]) {
                raw->write(QByteArray("line ") + QByteArray::number(sent[i]) + " of " + QByteArray::number(i) + '\n');
                raw->flush();
                ++sent[i];
            }
        });
        c->connectToHost(QHostAddress::LocalHost, server.serverPort());
        clients.push_back(std::move(c));
    }
    const quint64 changesBefore = dispatcher()->setChanges();
    QVERIFY(spin(20000, [&] {
        for (const QByteArray &r : received)
            if (r.count('\n') < kLines)
                return false;
        return true;
    }));
    for (int i = 0; i < kClients; ++i) {
        QByteArray expected;
        for (int n = 0; n < kLines; ++n)
            expected += QByteArray("line ") + QByteArray::number(n) + " of " + QByteArray::number(i) + '\n';
        QCOMPARE(received[size_t(i)], expected);
    }
    const quint64 changes = dispatcher()->setChanges() - changesBefore;
    // 2 x 300 x 20 writes: applied at each toggle, a write would cost two changes.
    QVERIFY2(changes < quint64(kClients * kLines), qPrintable(QString::number(changes)));
    clients.clear();
    for (QTcpSocket *s : accepted)
        delete s;
    server.close();
    QCOMPARE(dispatcher()->watchedDescriptors(), baseline);
}

void TestEpollDispatcher::aClosedDescriptorsNumberTakenAgainBeforeTheNextWait()
{
    // A notifier on one end of a socket pair, seen by a wait; then, with no wait between,
    // the notifier goes, the descriptor is closed and a new pair takes the same number: the
    // new notifier hears its peer.
    int first[2];
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, first) == 0);
    auto old = std::make_unique<QSocketNotifier>(first[0], QSocketNotifier::Read);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    old.reset();
    ::close(first[0]);
    ::close(first[1]);
    int second[2];
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, second) == 0);
    QCOMPARE(second[0], first[0]);
    QSocketNotifier fresh(second[0], QSocketNotifier::Read);
    int heard = 0;
    connect(&fresh, &QSocketNotifier::activated, this, [&] {
        char buf[16];
        while (::read(second[0], buf, sizeof buf) > 0)
            ++heard;
    });
    QVERIFY(::write(second[1], "x", 1) == 1);
    QVERIFY(spin(3000, [&] { return heard > 0; }));
    fresh.setEnabled(false);
    ::close(second[0]);
    ::close(second[1]);
}

void TestEpollDispatcher::aHangUpReachesTheReader()
{
    // The peer goes: the reader is told (and reads the end), and the loop does not spin on
    // the hang-up once the notifier is off.
    int pair[2];
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0);
    QSocketNotifier reader(pair[0], QSocketNotifier::Read);
    bool ended = false;
    connect(&reader, &QSocketNotifier::activated, this, [&] {
        char buf[16];
        if (::read(pair[0], buf, sizeof buf) == 0) {
            ended = true;
            reader.setEnabled(false);
        }
    });
    ::close(pair[1]);
    QVERIFY(spin(3000, [&] { return ended; }));
    // Nothing else is ready: a loop pass with a 50 ms timer sleeps until the timer.
    QElapsedTimer wall;
    wall.start();
    bool fired = false;
    QTimer::singleShot(50, this, [&] { fired = true; });
    int passes = 0;
    while (!fired) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++passes;
    }
    QVERIFY2(passes < 10, qPrintable(QString::number(passes)));
    ::close(pair[0]);
}

int main(int argc, char **argv)
{
    QCoreApplication::setEventDispatcher(new EpollDispatcher);
    QCoreApplication app(argc, argv);
    TestEpollDispatcher t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_epolldispatcher.moc"
