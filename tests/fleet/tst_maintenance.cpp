// A site's line lent for maintenance, on simulated controllers, the virtual clock and
// listening sockets that never touch the network: the polls pause and resume, the other
// sites keep their cadence, the log run ends and begins again, the alarms are suppressed and
// come back, one client holds the line at a time, the line keeps 9600 8N1, a silent client
// is dropped, and hostile clients stay bounded.
#include "support/AppFixture.h"

#include "doubles/LoopbackListen.h"
#include "fleet/MaintenancePort.h"
#include "fleet/SiteBoard.h"
#include "fleet/WatchAlarms.h"
#include "fleet/Watcher.h"
#include "link/LinkSession.h"
#include "logfiler/LogRun.h"
#include "platform/Dialogs.h"
#include "platform/Rfc2217.h"
#include "settings/modUserData.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <map>

namespace {
WatchSite site(const QString &name, int com, int intervalMs, quint16 maintenancePort)
{
    WatchSite s;
    s.name = name;
    s.port = QStringLiteral("COM%1").arg(com);
    s.comPort = com;
    s.intervalMs = intervalMs;
    s.inputType = 1;
    s.maintenanceHost = QStringLiteral("127.0.0.1");
    s.maintenancePort = maintenancePort;
    return s;
}

// A client of a maintenance port as the tool's port is one: the RFC 2217 client on the
// client's end of the connection.
struct Peer {
    std::unique_ptr<LoopbackListen::Client> end;
    Rfc2217Client telnet;
    QByteArray data;  // the line's bytes that came
    QByteArray raw;   // everything that came, as it came
    void begin() { end->send(telnet.start()); }
    void pump()
    {
        const QByteArray in = end->take();
        raw += in;
        const QByteArray answer = telnet.receive(in, &data);
        if (!answer.isEmpty())
            end->send(answer);
    }
    void send(const QByteArray &line) { end->send(telnet.encode(line)); }
};

QJsonObject json(const QByteArray &p) { return QJsonDocument::fromJson(p).object(); }

QStringList markers(const QByteArray &file)
{
    QStringList out;
    for (const QByteArray &l : file.split('\n'))
        if (l.startsWith("/**"))
            out << QString::fromLatin1(l.trimmed());
    return out;
}

struct Fleet {
    AppFixture f;
    SilentDialogs silent;
    LoopbackListen net;
    std::map<QString, SimulatedPort *> ports;
    std::unique_ptr<Watcher> w;
    QString logs;
    std::map<QString, QList<qint64>> readingsAt; // virtual ms of each reading, per site
    QList<QPair<qint64, SiteState>> states;       // of site b

    explicit Fleet(int idleMs = 10 * 60000)
    {
        installDialogs(&silent);
        installNetListen(&net);
        f.clock.setBase(QDateTime(QDate(2026, 12, 10), QTime(9, 0, 0)));
        logs = QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-maint-%1").arg(QCoreApplication::applicationPid()));
        QDir(logs).removeRecursively();
        WatchSettings ws;
        ws.logFolder = logs;
        ws.stateDir = logs + QStringLiteral("/state");
        ws.maintenance.idleMs = idleMs;
        ws.sites = {site("a", 1, 1000, 7000), site("b", 2, 1000, 7001), site("c", 3, 500, 7002)};
        w = std::make_unique<Watcher>(ws, [this](const WatchSite &s) {
            auto p = std::make_unique<SimulatedPort>();
            p->usablePorts = {s.comPort};
            p->model().loadDemoSettings();
            p->model().setLevel(100 * s.comPort);
            ports[s.name] = p.get();
            return p;
        });
    }
    ~Fleet()
    {
        w.reset();
        installNetListen(nullptr);
        installDialogs(nullptr);
        QDir(logs).removeRecursively();
    }
    bool start()
    {
        QString error;
        if (!w->start(&error))
            return false;
        for (const char *name : {"a", "b", "c"})
            QObject::connect(w->site(name), &SiteWatch::readingTaken, w.get(),
                             [this, name](const Reading &) { readingsAt[name] << f.clock.elapsedMs(); });
        QObject::connect(w->site("b"), &SiteWatch::stateChanged, w.get(),
                         [this](SiteState s) { states << qMakePair(f.clock.elapsedMs(), s); });
        return true;
    }
    void run(int ms, Peer *peer = nullptr)
    {
        const qint64 until = f.clock.elapsedMs() + ms;
        while (f.clock.elapsedMs() < until) {
            f.clock.advance(10);
            if (peer)
                peer->pump();
        }
    }
    // The longest gap between two readings of a site within [from, to].
    qint64 gap(const QString &name, qint64 from, qint64 to)
    {
        qint64 longest = 0, last = from;
        for (qint64 t : readingsAt[name])
            if (t >= from && t <= to) {
                longest = qMax(longest, t - last);
                last = t;
            }
        return qMax(longest, to - last);
    }
};
} // namespace

class tst_maintenance : public QObject {
    Q_OBJECT
private slots:
    void lendsTheLineAndGivesItBack();
    void oneClientAtATime();
    void lineKeepsItsSettings();
    void silentClientDropped();
    void hostileClientsStayBounded();
    void configuration();
    void addressBlocks();
    void theOfficeViewShowsMaintenance();
};

void tst_maintenance::lendsTheLineAndGivesItBack()
{
    Fleet fl;
    QVERIFY(fl.start());
    QCOMPARE(fl.net.listening().keys(), QList<quint16>({7000, 7001, 7002}));
    QCOMPARE(json(fl.w->statePayload("b")).value("maintenance").toString(), QStringLiteral("rfc2217://127.0.0.1:7001"));
    fl.run(5000);
    QCOMPARE(fl.w->site("b")->state(), SiteState::Online);
    // Level 200 holds output 2 (counts 128-319): its alarm stands before.
    const auto alarmState = [&](AlarmCause c) {
        const Alarm *a = fl.w->alarms().book().find("b", c);
        return a ? a->state() : AlarmState::Normal;
    };
    const QList<AlarmCause> standing = [&] {
        QList<AlarmCause> out;
        for (const Alarm &a : fl.w->alarms().book().site("b").alarms)
            if (!a.normal())
                out << a.cause;
        return out;
    }();
    QCOMPARE(standing, QList<AlarmCause>({OutputCause(2)}));

    Peer peer;
    peer.end = fl.net.connect(7001, QStringLiteral("127.0.0.1"), 50312);
    QVERIFY(peer.end);
    peer.begin();
    const qint64 lentAt = fl.f.clock.elapsedMs();
    const int framesBefore = fl.ports["b"]->model().frames().size();
    fl.run(1500, &peer);
    QVERIFY(peer.telnet.ready());
    QCOMPARE(fl.w->site("b")->state(), SiteState::Maintenance);
    const QJsonObject st = json(fl.w->statePayload("b"));
    QCOMPARE(st.value("state").toString(), QStringLiteral("maintenance"));
    QCOMPARE(st.value("client").toString(), QStringLiteral("127.0.0.1:50312"));
    QCOMPARE(fl.w->maintenance("b")->client(), QStringLiteral("127.0.0.1:50312"));
    // The polls paused within one exchange (an "N" and its "Y").
    const int framesAtLend = fl.ports["b"]->model().frames().size();
    QVERIFY2(framesAtLend - framesBefore <= 4, QByteArray::number(framesAtLend - framesBefore));
    // Its run ended as a run whose monitor stopped.
    QVERIFY(fl.w->run("b")->state() == LogRun::Stopped);
    // Its alarms are suppressed, each one that stood.
    for (AlarmCause c : standing)
        QCOMPARE(alarmState(c), AlarmState::Suppressed);

    // The client's bytes reach the controller untouched, the controller's come back.
    peer.send("L\r");
    fl.run(500, &peer);
    QVERIFY2(peer.data.contains("L0001"), peer.data.constData());
    peer.data.clear();
    peer.send(QByteArray("R2D\r"));
    fl.run(500, &peer);
    QVERIFY2(peer.data.startsWith("R") || peer.data.contains("\r"), peer.data.constData());
    const QByteArrayList sent = fl.ports["b"]->model().received();
    QCOMPARE(sent.mid(sent.size() - 2), QByteArrayList({"L", "R2D"}));
    QCOMPARE(fl.ports["b"]->model().frames().size(), framesAtLend + 2); // no poll of the watcher's meanwhile

    // Meanwhile the level moves to 600 (outputs 4 and 5): nothing is raised for it now.
    fl.ports["b"]->model().setLevel(600);
    fl.run(5000, &peer);
    const Alarm *five = fl.w->alarms().book().find("b", OutputCause(5));
    QVERIFY(!five || five->core == AlarmState::Normal);
    // The other sites kept their cadence all along.
    const qint64 leftAt = fl.f.clock.elapsedMs();
    QVERIFY2(fl.gap("a", lentAt, leftAt) <= 1000 + 100, QByteArray::number(fl.gap("a", lentAt, leftAt)));
    QVERIFY2(fl.gap("c", lentAt, leftAt) <= 500 + 100, QByteArray::number(fl.gap("c", lentAt, leftAt)));
    const qsizetype bReadings = fl.readingsAt["b"].size();

    // The client leaves: the polls resume within one interval, the state says online again.
    peer.end->close();
    fl.run(1200);
    QVERIFY(fl.readingsAt["b"].size() > bReadings);
    QVERIFY2(fl.readingsAt["b"][bReadings] - leftAt <= 1000 + 100,
             QByteArray::number(fl.readingsAt["b"][bReadings] - leftAt));
    QCOMPARE(fl.w->site("b")->state(), SiteState::Online);
    QVERIFY(!json(fl.w->statePayload("b")).contains("client"));
    QVERIFY(fl.w->maintenance("b")->client().isEmpty());
    // Its alarms take their true state: output 2 has returned, output 5 is raised.
    QCOMPARE(alarmState(OutputCause(2)), AlarmState::Rtnun);
    QCOMPARE(alarmState(OutputCause(5)), AlarmState::Unack);
    // The states in order: online, maintenance, starting (resuming), online.
    QList<SiteState> order;
    for (const auto &[ms, s] : fl.states)
        if (ms >= lentAt)
            order << s;
    QCOMPARE(order, QList<SiteState>({SiteState::Maintenance, SiteState::Starting, SiteState::Online}));

    bool stopped = false;
    fl.w->shutdown(500, [&] { stopped = true; });
    while (!stopped)
        fl.f.clock.advance(10);
    const QByteArray file = AppFixture::readFile(fl.logs + "/b/qlv20261210.csv");
    QCOMPARE(markers(file), QStringList({"/** Logging Start **/", "/** Logging Quit **/", "/** Logging Start **/",
                                         "/** Logging QUIT **/"}));
}

void tst_maintenance::oneClientAtATime()
{
    Fleet fl;
    QVERIFY(fl.start());
    fl.run(3000);
    Peer first;
    first.end = fl.net.connect(7000, QStringLiteral("127.0.0.1"), 41000);
    first.begin();
    fl.run(1500, &first);
    QCOMPARE(fl.w->site("a")->state(), SiteState::Maintenance);

    // A second client is told who holds the line, and closed.
    auto second = fl.net.connect(7000, QStringLiteral("127.0.0.1"), 41001);
    fl.run(100);
    QVERIFY(second->closedByServer());
    const QByteArray said = second->take();
    QVERIFY2(said.contains("in use for maintenance by 127.0.0.1:41000"), said.constData());
    QCOMPARE(fl.w->maintenance("a")->counts().refused, 1);
    // A client from an address not allowed (only the loopback address is, by default).
    auto stranger = fl.net.connect(7001, QStringLiteral("192.0.2.7"), 41002);
    fl.run(100);
    QVERIFY(stranger->closedByServer());
    QVERIFY(stranger->take().contains("may not use"));
    QCOMPARE(fl.w->site("b")->state(), SiteState::Online);
    QCOMPARE(fl.w->maintenance("b")->counts().notAllowed, 1);

    // The first still holds the line, and has it back to itself.
    first.data.clear();
    first.send("L\r");
    fl.run(500, &first);
    QVERIFY(first.data.contains("L0001"));
    first.end->close();
    fl.run(1500);
    QCOMPARE(fl.w->site("a")->state(), SiteState::Online);
    // Now the next one gets it.
    Peer next;
    next.end = fl.net.connect(7000, QStringLiteral("127.0.0.1"), 41003);
    next.begin();
    fl.run(1500, &next);
    QVERIFY(!next.end->closedByServer());
    QCOMPARE(fl.w->site("a")->state(), SiteState::Maintenance);
}

void tst_maintenance::lineKeepsItsSettings()
{
    Fleet fl;
    QVERIFY(fl.start());
    fl.run(2000);
    auto end = fl.net.connect(7002);
    fl.run(50);
    const QByteArray server = end->take();
    QVERIFY(server.contains(TelnetParser::command(Telnet::DO, Telnet::OptComPort)));
    // 19200 baud, 7 data bits, even parity, 2 stop bits, hardware flow control.
    using namespace ComPortOption;
    const auto sb = [](const QByteArray &p) { return TelnetParser::subnegotiation(Telnet::OptComPort, p); };
    end->send(TelnetParser::command(Telnet::WILL, Telnet::OptComPort) + sb(QByteArray("\x01\x00\x00\x4B\x00", 5)) +
              sb(QByteArray("\x02\x07", 2)) + sb(QByteArray("\x03\x03", 2)) + sb(QByteArray("\x04\x02", 2)) +
              sb(QByteArray("\x05\x03", 2)));
    fl.run(100);
    const QByteArray answer = end->take();
    // Each answer names the line's own setting: 9600, 8, none, 1, no flow control.
    QVERIFY(answer.contains(sb(QByteArray("\x65\x00\x00\x25\x80", 5))));
    QVERIFY(answer.contains(sb(QByteArray("\x66\x08", 2))));
    QVERIFY(answer.contains(sb(QByteArray("\x67\x01", 2))));
    QVERIFY(answer.contains(sb(QByteArray("\x68\x01", 2))));
    QVERIFY(answer.contains(sb(QByteArray("\x69\x01", 2))));
    QCOMPARE(fl.w->maintenance("c")->counts().settingsDeclined, 5);
    // The tool's own client takes that as the line it asked for.
    Rfc2217Client c;
    Rfc2217Server s;
    s.setFixedLine(true);
    QByteArray ignored;
    QByteArray toServer = c.start(), toClient = s.start();
    for (int i = 0; i < 10 && (!toServer.isEmpty() || !toClient.isEmpty()); ++i) {
        const QByteArray a = s.receive(toServer, &ignored);
        const QByteArray b = c.receive(toClient, &ignored);
        toClient = a;
        toServer = b;
    }
    QVERIFY(c.ready());
    QCOMPARE(s.settingsDeclined(), 0);
}

void tst_maintenance::silentClientDropped()
{
    Fleet fl(30000);
    QVERIFY(fl.start());
    fl.run(2000);
    Peer peer;
    peer.end = fl.net.connect(7001);
    peer.begin();
    fl.run(1000, &peer);
    QCOMPARE(fl.w->site("b")->state(), SiteState::Maintenance);
    // Data keeps it: 25 s of silence, a line, 25 s more.
    fl.run(25000, &peer);
    peer.send("L\r");
    fl.run(25000, &peer);
    QCOMPARE(fl.w->site("b")->state(), SiteState::Maintenance);
    QVERIFY(!peer.end->closedByServer());
    // Telnet commands alone do not.
    for (int i = 0; i < 10; ++i) {
        peer.end->send(TelnetParser::command(Telnet::NOP, 0).left(2));
        fl.run(1000, &peer);
    }
    const qint64 before = fl.readingsAt["b"].size();
    fl.run(6000, &peer);
    QVERIFY(peer.end->closedByServer());
    QCOMPARE(fl.w->maintenance("b")->counts().idleDrops, 1);
    QCOMPARE(fl.w->site("b")->state(), SiteState::Online);
    QVERIFY(fl.readingsAt["b"].size() > before);
}

void tst_maintenance::hostileClientsStayBounded()
{
    Fleet fl;
    QVERIFY(fl.start());
    fl.run(2000);
    // An option flood: a megabyte of requests for options the server does not take, and of
    // signature requests, each of which has an answer; the client reads nothing.
    auto flood = fl.net.connect(7000);
    QByteArray burst;
    for (int i = 0; i < 20000; ++i)
        burst += TelnetParser::command(Telnet::DO, quint8(100 + i % 100)) +
                 TelnetParser::subnegotiation(Telnet::OptComPort, QByteArray(1, char(ComPortOption::Signature)));
    flood->send(burst);
    qsizetype most = 0;
    for (int i = 0; i < 300; ++i) {
        fl.f.clock.advance(10);
        most = qMax(most, flood->untaken());
    }
    // It was dropped once it left more unread than the bound, having been read at a bounded
    // pace meanwhile; the site's polls resumed.
    QVERIFY(flood->closedByServer());
    QVERIFY2(most <= MaintenancePort::kMaxToClient + 4096, QByteArray::number(most));
    QCOMPARE(fl.w->maintenance("a")->counts().flowDrops, 1);
    fl.run(1500);
    QCOMPARE(fl.w->site("a")->state(), SiteState::Online);

    // Garbage as data: it goes to the line no faster than the line takes it, and what waits
    // in the watcher stays within its bound; the controller answers it as it answers noise.
    Peer noisy;
    noisy.end = fl.net.connect(7001);
    noisy.begin();
    fl.run(500, &noisy);
    QByteArray garbage(256 * 1024, '\0');
    for (int i = 0; i < garbage.size(); ++i)
        garbage[i] = char((i * 7919) & 0xFF);
    noisy.send(garbage);
    for (int i = 0; i < 200; ++i) {
        fl.f.clock.advance(10);
        noisy.pump();
        QVERIFY(fl.ports["b"]->outBufferCount() <= MaintenancePort::kLineChunk * 2);
    }
    // Still connected and taking its answers: the line is its own.
    QVERIFY(!noisy.end->closedByServer());
    QCOMPARE(fl.w->site("b")->state(), SiteState::Maintenance);
    // It left amid a line: the controller's half line is ended, and the polls are back
    // within an interval.
    noisy.end->close();
    fl.run(1500);
    QCOMPARE(fl.w->site("b")->state(), SiteState::Online);

    // A half-open client (connects, negotiates nothing, reads nothing, says nothing) is
    // dropped at the idle time; the site is back at the next interval.
    Fleet short_(3000);
    QVERIFY(short_.start());
    short_.run(2000);
    auto mute = short_.net.connect(7002);
    short_.run(1000);
    QCOMPARE(short_.w->site("c")->state(), SiteState::Maintenance);
    short_.run(2500);
    QVERIFY(mute->closedByServer());
    short_.run(600);
    QCOMPARE(short_.w->site("c")->state(), SiteState::Online);
    // A flood of connections: each is turned away at once while one holds the line.
    auto holder = short_.net.connect(7000);
    short_.run(100);
    for (int i = 0; i < 500; ++i) {
        auto c = short_.net.connect(7000, QStringLiteral("127.0.0.1"), quint16(30000 + i));
        short_.f.clock.advance(1);
        QVERIFY(c->closedByServer());
    }
    QCOMPARE(short_.w->maintenance("a")->counts().refused, 500);
    QCOMPARE(short_.w->site("b")->state(), SiteState::Online);
}

void tst_maintenance::configuration()
{
    AppFixture f;
    const QString dir = QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-maintcfg-%1").arg(QCoreApplication::applicationPid()));
    QDir().mkpath(dir);
    const QString path = dir + QStringLiteral("/watch.ini");
    const auto load = [&](const QByteArray &text, QStringList *faults) {
        AppFixture::writeFile(path, text);
        faults->clear();
        return LoadWatchConfig(path, dir, faults);
    };
    QStringList faults;
    // A base port: the k-th site gets base + k; a site's own port stands.
    auto s = load("[maintenance]\nlisten=127.0.0.1:7000\nidle_min=0.5\n[sites]\na=COM1\nb=COM2\nc=COM3\n"
                  "[b]\nmaintenance_port=7100\n",
                  &faults);
    QVERIFY2(s, qPrintable(faults.join('\n')));
    QCOMPARE(s->sites[0].maintenanceUrl(), QStringLiteral("rfc2217://127.0.0.1:7000"));
    QCOMPARE(s->sites[1].maintenanceUrl(), QStringLiteral("rfc2217://127.0.0.1:7100"));
    QCOMPARE(s->sites[2].maintenanceUrl(), QStringLiteral("rfc2217://127.0.0.1:7002"));
    QCOMPARE(s->maintenance.idleMs, 30000);
    // Without [maintenance] no line is lent, and idle_min is ten minutes.
    s = load("[sites]\na=COM1\n[a]\nmaintenance_port=7005\n", &faults);
    QVERIFY(s);
    QCOMPARE(s->sites[0].maintenanceUrl(), QStringLiteral("rfc2217://127.0.0.1:7005"));
    QCOMPARE(s->maintenance.idleMs, 600000);
    s = load("[sites]\na=COM1\n", &faults);
    QVERIFY(s && s->sites[0].maintenancePort == 0);
    // IPv6 loopback.
    s = load("[maintenance]\nlisten=[::1]:7000\n[sites]\na=COM1\n", &faults);
    QVERIFY(s);
    QCOMPARE(s->sites[0].maintenanceUrl(), QStringLiteral("rfc2217://[::1]:7000"));
    // Listening wider needs allow=; with it, the blocks are kept.
    s = load("[maintenance]\nlisten=0.0.0.0:7000\n[sites]\na=COM1\n", &faults);
    QVERIFY(!s);
    QVERIFY2(faults.join('\n').contains("allow="), qPrintable(faults.join('\n')));
    s = load("[maintenance]\nlisten=0.0.0.0:7000\nallow=10.1.0.0/16 192.0.2.7\n[sites]\na=COM1\n", &faults);
    QVERIFY2(s, qPrintable(faults.join('\n')));
    QCOMPARE(s->maintenance.allow, QStringList({"10.1.0.0/16", "192.0.2.7"}));
    // Faults, each with its line.
    const QList<QPair<QByteArray, QString>> bad = {
        {"[maintenance]\nlisten=7000\n[sites]\na=COM1\n", "watch.ini:2: listen=7000"},
        {"[maintenance]\nlisten=127.0.0.1:70000\n[sites]\na=COM1\n", "watch.ini:2: listen="},
        {"[maintenance]\nlisten=example.org:7000\n[sites]\na=COM1\n", "watch.ini:2: listen="},
        {"[maintenance]\nidle_min=0\n[sites]\na=COM1\n", "watch.ini:2: idle_min=0"},
        {"[maintenance]\nidle_min=ten\n[sites]\na=COM1\n", "watch.ini:2: idle_min=ten"},
        {"[maintenance]\nlisten=127.0.0.1:7000\nallow=10.0.0.0/40\n[sites]\na=COM1\n", "watch.ini:3: allow="},
        {"[maintenance]\nlisten=127.0.0.1:65535\n[sites]\na=COM1\nb=COM2\n", "watch.ini:5: b: the maintenance port"},
        {"[maintenance]\nlisten=127.0.0.1:7000\n[sites]\na=COM1\nb=COM2\n[b]\nmaintenance_port=7000\n",
         "watch.ini:7: b: the maintenance port 7000 is already the one of a"},
        {"[maintenance]\nport=1\n[sites]\na=COM1\n", "watch.ini:2:"},
        {"[sites]\nmaintenance=COM1\n", "watch.ini:2:"},
    };
    for (const auto &[text, fault] : bad) {
        QVERIFY2(!load(text, &faults), text.constData());
        QVERIFY2(faults.join('\n').contains(fault), qPrintable(faults.join('\n') + " / " + fault));
    }
    // A reload with another idle time or other blocks is a change; the same file is none.
    const auto a = load("[maintenance]\nlisten=127.0.0.1:7000\n[sites]\na=COM1\n", &faults);
    const auto b = load("[maintenance]\nlisten=127.0.0.1:7000\nidle_min=2\n[sites]\na=COM1\n", &faults);
    QVERIFY(a && b);
    QVERIFY(DiffWatchConfig(*a, *a).empty());
    QVERIFY(DiffWatchConfig(*a, *b).maintenanceChanged);
    QVERIFY(DiffWatchConfig(*a, *b).changed.isEmpty());
    QDir(dir).removeRecursively();
}

void tst_maintenance::addressBlocks()
{
    NetBlock b;
    QVERIFY(NetBlock::parse("10.1.0.0/16", &b, nullptr));
    QVERIFY(b.contains("10.1.200.3"));
    QVERIFY(!b.contains("10.2.0.1"));
    QVERIFY(!b.contains("::1"));
    QVERIFY(b.contains("::ffff:10.1.0.9")); // an IPv4 client on an IPv6 socket
    QVERIFY(NetBlock::parse("192.0.2.7", &b, nullptr));
    QVERIFY(b.contains("192.0.2.7"));
    QVERIFY(!b.contains("192.0.2.8"));
    QVERIFY(NetBlock::parse("fd00::/8", &b, nullptr));
    QVERIFY(b.contains("fd12::5"));
    QVERIFY(!b.contains("fe80::1"));
    QVERIFY(!b.contains("garbage"));
    QVERIFY(NetBlock::parse("10.0.0.0/0", &b, nullptr));
    QVERIFY(b.contains("203.0.113.1"));
    QString why;
    for (const char *t : {"10.0.0.0/33", "host.example", "", "10.0.0/8x", "::1/129"})
        QVERIFY2(!NetBlock::parse(t, &b, &why) && !why.isEmpty(), t);
    QVERIFY(IsLoopbackHost("127.0.0.1"));
    QVERIFY(IsLoopbackHost("127.1.2.3"));
    QVERIFY(IsLoopbackHost("::1"));
    QVERIFY(!IsLoopbackHost("0.0.0.0"));
    QVERIFY(!IsLoopbackHost("10.0.0.1"));
}

void tst_maintenance::theOfficeViewShowsMaintenance()
{
    AppFixture f;
    SiteBoard board;
    const auto state = [&](const char *st, const char *extra = "") {
        return board.takeMessage(
            "q", "q/a/state",
            QStringLiteral(R"({"site":"a","state":"%1","code":"x","reason":"","watchd":"w1","interval_ms":1000%2})")
                .arg(QLatin1String(st), QLatin1String(extra))
                .toUtf8());
    };
    const auto reading = [&] {
        return board.takeMessage("q", "q/a/reading",
                                 QStringLiteral(R"({"site":"a","time":"%1","count":100,"value":0.49,"unit":"V","outputs":"00"})")
                                     .arg(Now().toString(Qt::ISODateWithMs))
                                     .toUtf8());
    };
    QVERIFY(state("online"));
    QVERIFY(reading());
    QCOMPARE(BoardLinkText(board.row("a")->link), QStringLiteral("通信中"));
    // Lent for maintenance: 保守中, and its silence raises nothing however long it lasts.
    QVERIFY(state("maintenance", R"(,"client":"127.0.0.1:50312")"));
    QCOMPARE(BoardLinkText(board.row("a")->link), QStringLiteral("保守中"));
    for (int i = 0; i < 60; ++i) {
        f.clock.advance(1000);
        board.check();
    }
    QCOMPARE(board.unacknowledged(), 0);
    QVERIFY(!board.row("a")->alarm.holds(AlarmCause::Stale));
    // Back: the polls resume, readings come, nothing was raised for the pause.
    QVERIFY(state("starting"));
    QVERIFY(reading());
    QVERIFY(state("online"));
    QCOMPARE(BoardLinkText(board.row("a")->link), QStringLiteral("通信中"));
    board.check();
    QCOMPARE(board.unacknowledged(), 0);
    // And its silence counts again once it is back.
    for (int i = 0; i < 5; ++i) {
        f.clock.advance(1000);
        board.check();
    }
    QVERIFY(board.row("a")->alarm.holds(AlarmCause::Stale));
}

QTEST_MAIN(tst_maintenance)
#include "tst_maintenance.moc"
