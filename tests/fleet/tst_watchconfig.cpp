// The fleet watcher's configuration file: every fault named with its line, a good file's
// values, and the difference of two configurations for a reload.
#include "fleet/WatchConfig.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QByteArray kSites = "[sites]\nkawabe-1=tcp://10.0.5.21:4001\nkawabe-2=COM3\n";

class Files {
public:
    QString write(const QByteArray &text, const QString &name = "watchd.ini")
    {
        QFile f(m_dir.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(text);
        return f.fileName();
    }
    QString path(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};
} // namespace

class tst_watchconfig : public QObject {
    Q_OBJECT
private slots:
    void badFiles_data();
    void badFiles();
    void goodFile();
    void diff();
    void packagedExample_data();
    void packagedExample();
};

void tst_watchconfig::badFiles_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("faults"); // without the leading "<path>:"
    auto row = [](const char *name, const QByteArray &text, const QStringList &faults) {
        QTest::newRow(name) << text << faults;
    };
    row("unknown group", kSites + "[extra]\nx=1\n", {"4: [extra] is no group of this file and names no site of [sites]"});
    row("unknown key", "[watch]\nlogfolder=/x\n" + kSites, {"2: unknown key logfolder in [watch] (known: log_folder, interval_ms, state_dir, max_shelve_min)"});
    row("key twice", "[watch]\ninterval_ms=100\ninterval_ms=200\n" + kSites, {"3: interval_ms is given twice in [watch] (first at line 2)"});
    row("group twice", "[watch]\n[watch]\n" + kSites, {"2: [watch] is given twice (first at line 1)"});
    row("site twice", kSites + "kawabe-1=COM4\n", {"4: kawabe-1 is given twice in [sites] (first at line 2)"});
    row("interval out of range", "[watch]\ninterval_ms=5\n" + kSites, {"2: interval_ms=5 is out of range (20-60000)"});
    row("interval no number", kSites + "[kawabe-2]\ninterval_ms=1s\n", {"5: interval_ms=1s is no whole number (20-60000)"});
    row("bad url", "[mqtt]\nurl=http://h:1\n" + kSites, {"2: url=\"http://h:1\" is no broker address; write mqtt://HOST:PORT or mqtts://HOST:PORT"});
    row("no url", "[mqtt]\ntopic_prefix=q\n" + kSites, {"1: [mqtt] has no url: write url=mqtt://HOST:PORT or mqtts://HOST:PORT"});
    row("mqtts without ca_file", "[mqtt]\nurl=mqtts://h\n" + kSites,
        {"2: url=mqtts://h needs ca_file, the certificate authority that signed the broker's certificate"});
    row("missing ca_file", "[mqtt]\nurl=mqtts://h\nca_file=ca.crt\n" + kSites, {"3: ca_file=ca.crt: the file does not exist"});
    row("missing password file", "[mqtt]\nurl=mqtt://h\nusername=u\npassword_file=/nonexistent/pw\n" + kSites,
        {"4: password_file=/nonexistent/pw: the file does not exist"});
    row("bad topic prefix", "[mqtt]\nurl=mqtt://h\ntopic_prefix=a/#\n" + kSites,
        {"3: topic_prefix=a/# is no topic prefix (levels between /, without + and #, at most 100 characters)"});
    row("queue limit", "[mqtt]\nurl=mqtt://h\nqueue_limit=0\n" + kSites, {"3: queue_limit=0 is out of range (1-1000000)"});
    row("COM0", "[sites]\na=COM0\n", {"2: a=COM0 is no port: write COM1-COM99, tcp://HOST:PORT or rfc2217://HOST:PORT"});
    row("address without port", "[sites]\na=tcp://10.0.5.21\n",
        {"2: a=tcp://10.0.5.21: no port number after the host; write tcp://HOST:PORT or rfc2217://HOST:PORT"});
    row("port twice", "[sites]\na=com3\nb=COM3\nc=tcp://H:1\nd=rfc2217://h:1\n",
        {"3: b=COM3: COM3 is already the port of a (line 2)", "5: d=rfc2217://h:1: rfc2217://h:1 is already the port of c (line 4)"});
    row("site name", "[sites]\nkawabe 1=COM1\nx.y=COM2\nwatch=COM4\n",
        {"2: \"kawabe 1\" is no site name (letters, digits, _ and -, at most 40)",
         "3: \"x.y\" is no site name (letters, digits, _ and -, at most 40)",
         "4: \"watch\" is a group of this file and cannot name a site"});
    row("input type", kSites + "[kawabe-1]\ninput_type=6\ntitle=\"" + QByteArray(101, 'x') + "\"\n",
        {"5: input_type=6 is out of range (1-5)", "6: title is longer than 100 characters"});
    row("warning outputs", kSites + "[kawabe-1]\nwarn_outputs=0 9\n",
        {"5: warn_outputs=0 9: write the outputs 1-8 that are warning stages, as 1 2 5, or none"});
    row("comma", kSites + "[kawabe-1]\ntitle=a, b\n", {"5: title=a,b: a value with a comma is written in double quotes (\"...\")"});
    row("open quote", kSites + "[kawabe-1]\ntitle=\"a\n", {"5: title: the double quote is not closed"});
    row("unreadable lines", "interval_ms=5\n[watch\nx=1\n" + kSites + "kawabe-3\n",
        {"1: interval_ms stands outside a group: put it under [watch], [mqtt], [notify], [sites] or a site's group",
         "2: cannot read [watch: a group is written [NAME]", "7: cannot read \"kawabe-3\": write [group], key=value or a comment (;)"});
    row("longest shelve", "[watch]\nmax_shelve_min=0\n" + kSites, {"2: max_shelve_min=0 is out of range (1-10080)"});
    row("notify keys", "[notify]\nmail=x\nexec_timeout_s=0\nrenotify_min=99999\nwebhook_timeout_s=301\nwebhook_tries=0\n" + kSites,
        {"2: unknown key mail in [notify] (known: exec, exec_timeout_s, renotify_min, webhook, webhook_timeout_s, webhook_tries)",
         "3: exec_timeout_s=0 is out of range (1-3600)", "4: renotify_min=99999 is out of range (0-10080)",
         "5: webhook_timeout_s=301 is out of range (1-300)", "6: webhook_tries=0 is out of range (1-100)"});
    row("exec missing", "[notify]\nexec=/nonexistent/tell --to duty\n" + kSites,
        {"2: exec=/nonexistent/tell --to duty: /nonexistent/tell: the file does not exist"});
    row("exec not on PATH", "[notify]\nexec=qelvo-no-such-program\n" + kSites,
        {"2: exec=qelvo-no-such-program: qelvo-no-such-program is not found on PATH"});
    row("exec no program", "[notify]\nexec=./watchd.ini\n" + kSites,
        {"2: exec=./watchd.ini: ./watchd.ini: the file is no program that can be run"});
    row("exec empty quotes", "[notify]\nexec=\"\"\n" + kSites,
        {"2: exec=\"\": write the program and its arguments (no shell; sh -c \"...\" for one)"});
    row("webhook", "[notify]\nwebhook=ftp://h/x\n" + kSites, {"2: webhook=ftp://h/x is no http:// or https:// address"});
    row("notify as a site", "[sites]\nnotify=COM1\n", {"2: \"notify\" is a group of this file and cannot name a site"});
    row("command as a site", "[sites]\ncommand=COM1\n",
        {"2: \"command\" names the users' commands in the topics and cannot name a site"});
    row("no sites", "[watch]\n", {" no [sites] group: name each site and its port there (NAME=COMn, tcp://HOST:PORT or rfc2217://HOST:PORT)"});
    row("empty sites", "[sites]\n", {"1: [sites] lists no site"});
    QByteArray many = "[sites]\n";
    for (int i = 0; i <= kWatchMaxSites; ++i)
        many += "s" + QByteArray::number(i) + "=tcp://h:" + QByteArray::number(i + 1) + "\n";
    row("too many sites", many, {"1: [sites] lists 1001 sites; at most 1000"});
    row("too large", kSites + "; " + QByteArray(kWatchFileLimit, 'x') + "\n", {" the file is larger than 1048576 bytes"});
    row("no UTF-8", kSites + "[kawabe-1]\ntitle=\x90\xec\n", {" the file is no UTF-8 text"});
}

void tst_watchconfig::badFiles()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, faults);
    Files files;
    const QString path = files.write(text);
    QStringList got;
    QVERIFY(!LoadWatchConfig(path, files.path("data"), &got));
    QStringList expected;
    for (const QString &f : faults)
        expected << path + ":" + f;
    QCOMPARE(got, expected);
}

void tst_watchconfig::goodFile()
{
    Files files;
    files.write("secret\nnext line\n", "pw");
    const QString path = files.write(R"(; the depot's watcher
[watch]
interval_ms=1000                 ; every site unless it says otherwise
state_dir=state
max_shelve_min=60

[mqtt]
url=mqtt://127.0.0.1:1883        ; mqtt://HOST:PORT or mqtts://HOST:PORT
username=depot
password_file=pw                 ; next to this file
queue_limit=

[notify]
exec=sh -c "echo $QELVO_SITE, $QELVO_CAUSE >> alarms.txt"  ; as written, no shell
webhook=https://hooks.example/qelvo?k=1
renotify_min=15
webhook_tries=3

[sites]
kawabe-1=tcp://10.0.5.21:4001    ; a site name = its port
kawabe-2=COM3
Kawabe_3=rfc2217://[fe80::1]:4002

[kawabe-1]                       ; optional, per site
interval_ms=500
title=川辺第1観測所
input_type=
[Kawabe_3]
input_type=4
warn_outputs=3 1
)");
    QStringList faults;
    const auto s = LoadWatchConfig(path, files.path("data/"), &faults);
    QVERIFY2(s, qPrintable(faults.join('\n')));
    QCOMPARE(s->logFolder, files.path("data/logs"));
    QCOMPARE(s->intervalMs, 1000);
    QCOMPARE(s->stateDir, files.path("state"));
    QCOMPARE(s->maxShelveMin, 60);
    // The program is found on PATH; its words are split as a shell would, but no shell runs.
    QCOMPARE(QFileInfo(s->notify.execProgram).fileName(), QStringLiteral("sh"));
    QVERIFY(QFileInfo(s->notify.execProgram).isAbsolute());
    QCOMPARE(s->notify.execArgs, (QStringList{"-c", "echo $QELVO_SITE, $QELVO_CAUSE >> alarms.txt"}));
    QCOMPARE(s->notify.execTimeoutS, 30);
    QCOMPARE(s->notify.webhook, QStringLiteral("https://hooks.example/qelvo?k=1"));
    QCOMPARE(s->notify.renotifyMin, 15);
    QCOMPARE(s->notify.webhookTries, 3);
    QCOMPARE(s->notify.webhookTimeoutS, 10);
    QVERIFY(s->mqtt);
    QCOMPARE(s->mqtt->host, "127.0.0.1");
    QCOMPARE(s->mqtt->port, 1883);
    QVERIFY(!s->mqtt->tls);
    QCOMPARE(s->mqtt->topicPrefix, "qelvo");
    QCOMPARE(s->mqtt->clientId, "qelvo-watchd-" + QSysInfo::machineHostName());
    QCOMPARE(s->mqtt->passwordFile, files.path("pw"));
    QString password, err;
    QVERIFY(ReadPasswordFile(s->mqtt->passwordFile, &password, &err));
    QCOMPARE(password, "secret");
    using K = WatchSite::PortKind;
    const QList<WatchSite> expected = {
        {"kawabe-1", "tcp://10.0.5.21:4001", K::Tcp, 0, "10.0.5.21", 4001, 500, "川辺第1観測所", 0, 7200},
        {"kawabe-2", "COM3", K::Com, 3, {}, 0, 1000, {}, 0, 3600},
        {"Kawabe_3", "rfc2217://[fe80::1]:4002", K::Rfc2217, 0, "fe80::1", 4002, 1000, {}, 4, 3600, 0x05},
    };
    QCOMPARE(s->sites.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(s->sites[i] == expected[i], qPrintable(s->sites[i].name));
    // Without [mqtt] nothing is published and no queue is kept.
    const auto quiet = LoadWatchConfig(files.write("[watch]\nlog_folder=logs\n" + kSites), "/data", &faults);
    QVERIFY(quiet && !quiet->mqtt);
    QCOMPARE(quiet->logFolder, files.path("logs"));
    QCOMPARE(quiet->sites.first().queueLimit, 0);
    // The state folder: the data folder's, or under systemd the unit's StateDirectory=.
    QCOMPARE(quiet->stateDir, QStringLiteral("/data/state"));
    QCOMPARE(quiet->maxShelveMin, 480);
    QVERIFY(quiet->notify.exec.isEmpty() && quiet->notify.webhook.isEmpty());
    qputenv("STATE_DIRECTORY", "/var/lib/qelvo:/var/lib/other");
    const auto service = LoadWatchConfig(files.write("[watch]\nlog_folder=logs\n" + kSites), "/data", &faults);
    qunsetenv("STATE_DIRECTORY");
    QCOMPARE(service->stateDir, QStringLiteral("/var/lib/qelvo"));
}

void tst_watchconfig::diff()
{
    Files files;
    QStringList faults;
    const auto before = LoadWatchConfig(files.write("[sites]\na=COM1\nb=COM2\nc=COM3\nd=COM4\n[c]\ntitle=C\n"), "/d", &faults);
    const auto same = LoadWatchConfig(files.write("[sites]\nd=COM4\nc=COM3\nb=COM2\na=COM1\n[c]\ntitle=C\n"), "/d", &faults);
    const auto after = LoadWatchConfig(files.write("[mqtt]\nurl=mqtt://h\n[sites]\ne=COM5\nd=COM4\nc=COM3\nb=COM9\n"), "/d", &faults);
    QVERIFY(before && same && after);
    QVERIFY(DiffWatchConfig(*before, *same).empty());
    const WatchDiff d = DiffWatchConfig(*before, *after);
    QCOMPARE(d.added, QStringList{"e"});
    QCOMPARE(d.removed, QStringList{"a"});
    // b: its port; c: its title; d: its queue, now that readings are published.
    QCOMPARE(d.changed, (QStringList{"d", "c", "b"}));
    QVERIFY(d.mqttChanged);
    QVERIFY(!d.logFolderChanged);
    QVERIFY(!d.alarmsChanged);
    // The alarms' settings: a reload takes them without touching a site.
    for (const QByteArray &group : {QByteArray("[notify]\nrenotify_min=5\n"), QByteArray("[watch]\nmax_shelve_min=5\n"),
                                    QByteArray("[watch]\nstate_dir=/elsewhere\n")}) {
        const auto changed = LoadWatchConfig(files.write(group + "[sites]\na=COM1\nb=COM2\nc=COM3\nd=COM4\n[c]\ntitle=C\n"),
                                             "/d", &faults);
        QVERIFY2(changed, qPrintable(faults.join('\n')));
        const WatchDiff a = DiffWatchConfig(*before, *changed);
        QVERIFY2(a.alarmsChanged && !a.empty() && a.changed.isEmpty() && a.added.isEmpty(), group.constData());
    }
}

// The example the package installs as /etc/qelvo/watchd.ini reads as it stands, and with each
// key it shows commented out written in, one at a time: the keys are the reader's, in their
// groups, and only the files they name are missing here.
void tst_watchconfig::packagedExample_data()
{
    QTest::addColumn<QByteArray>("text");
    QFile f(QFINDTESTDATA("../../packaging/watchd.ini"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    QTest::newRow("as installed") << text;
    const QList<QByteArray> lines = text.split('\n');
    static const QRegularExpression key("^;[a-z_]+=");
    for (int i = 0; i < lines.size(); ++i) {
        if (!key.match(QString::fromUtf8(lines[i])).hasMatch())
            continue;
        QList<QByteArray> written = lines;
        written[i] = written[i].mid(1);
        QTest::addRow("%s", written[i].constData()) << written.join('\n');
    }
}

void tst_watchconfig::packagedExample()
{
    QFETCH(QByteArray, text);
    Files files;
    QStringList faults;
    const auto s = LoadWatchConfig(files.write(text), "/var/lib/qelvo/Orvanelle/Qelvo", &faults);
    if (!s) {
        QVERIFY2(QTest::currentDataTag() != QByteArray("as installed"), qPrintable(faults.join('\n')));
        for (const QString &fault : std::as_const(faults))
            QVERIFY2(fault.endsWith(": the file does not exist"), qPrintable(fault));
        return;
    }
    QCOMPARE(s->logFolder, "/var/lib/qelvo/logs");
    QCOMPARE(s->stateDir, "/var/lib/qelvo");
    QVERIFY(s->mqtt);
    QCOMPARE(s->sites.size(), 2);
    QCOMPARE(s->sites[0].title, "川辺第1観測所");
    QCOMPARE(s->sites[1].title, "川辺第2観測所");
}

QTEST_GUILESS_MAIN(tst_watchconfig)
#include "tst_watchconfig.moc"
