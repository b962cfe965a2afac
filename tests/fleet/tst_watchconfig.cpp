// The fleet watcher's configuration file: every fault named with its line, a good file's
// values, the modes of the files of secrets and trust, the one reader of a password file,
// and the difference of two configurations for a reload.
#include "fleet/IniFile.h"
#include "fleet/WatchConfig.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QByteArray kSites = "[sites]\nkawabe-1=tcp://10.0.5.21:4001\nkawabe-2=COM3\n";

class Files {
public:
    QString write(const QByteArray &text, const QString &name = "watchd.ini", int mode = 0640)
    {
        QFile f(m_dir.filePath(name));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(text);
        f.close();
        QFileDevice::Permissions p;
        static const QFileDevice::Permission bits[9] = {
            QFileDevice::ReadOwner, QFileDevice::WriteOwner, QFileDevice::ExeOwner, QFileDevice::ReadGroup,  QFileDevice::WriteGroup,
            QFileDevice::ExeGroup,  QFileDevice::ReadOther,  QFileDevice::WriteOther, QFileDevice::ExeOther};
        for (int i = 0; i < 9; ++i)
            if (mode & (0400 >> i))
                p |= bits[i];
        f.setPermissions(p);
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
    void fileModes_data();
    void fileModes();
    void diff();
    void passwordFile_data();
    void passwordFile();
    void valuesWrittenReadBack();
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
    row("unknown key", "[watch]\nlogfolder=/x\n" + kSites, {"2: unknown key logfolder in [watch] (known: log_folder, interval_ms, state_dir, max_shelve_min, audit_time)"});
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
    row("flag neither true nor false", "[mqtt]\nurl=mqtt://h\nhomeassistant_discovery=yes\n" + kSites,
        {"3: homeassistant_discovery=yes: write true or false"});
    row("backlog rate out of range", "[mqtt]\nurl=mqtt://h\nbacklog_rate=0\n" + kSites,
        {"3: backlog_rate=0 is out of range (1-100000)"});
    row("bad topic prefix", "[mqtt]\nurl=mqtt://h\ntopic_prefix=a/#\n" + kSites,
        {"3: topic_prefix=a/# is no topic prefix (levels between /, without + and #, at most 100 characters)"});
    row("queue limit", "[mqtt]\nurl=mqtt://h\nqueue_limit=0\n" + kSites, {"3: queue_limit=0 is out of range (1-1000000)"});
    row("COM0", "[sites]\na=COM0\n", {"2: a=COM0 is no port: write COM1-COM99, tcp://HOST:PORT or rfc2217://HOST:PORT"});
    row("address without port", "[sites]\na=tcp://10.0.5.21\n",
        {"2: a=tcp://10.0.5.21: no port number after the host; write tcp://HOST:PORT or rfc2217://HOST:PORT"});
    row("port twice", "[sites]\na=com3\nb=COM3\nc=tcp://H:1\nd=rfc2217://h:1\n",
        {"3: b=COM3: COM3 is already the port of a (line 2)", "5: d=rfc2217://h:1: rfc2217://h:1 is already the port of c (line 4)"});
    row("site name", "[sites]\nkawabe 1=COM1\nx.y=COM2\nwatch=COM4\nwatchd=COM5\nsites=COM6\nWatchd=COM7\n",
        {"2: \"kawabe 1\" is no site name (letters, digits, _ and -, at most 40)",
         "3: \"x.y\" is no site name (letters, digits, _ and -, at most 40)",
         "4: \"watch\" is a group of this file and cannot name a site",
         "5: \"watchd\" is the topic level of the watchers' own state (<prefix>/watchd/<client id>) and cannot name a site",
         "6: \"sites\" is a group of this file and cannot name a site"});
    row("input type", kSites + "[kawabe-1]\ninput_type=6\ntitle=\"" + QByteArray(101, 'x') + "\"\n",
        {"5: input_type=6 is out of range (1-5)", "6: title is longer than 100 characters"});
    row("warning outputs", kSites + "[kawabe-1]\nwarn_outputs=0 9\n",
        {"5: warn_outputs=0 9: write the outputs 1-8 that are warning stages, as 1 2 5, or none"});
    row("comma", kSites + "[kawabe-1]\ntitle=a, b\n", {"5: title=a,b: a value with a comma is written in double quotes (\"...\")"});
    row("open quote", kSites + "[kawabe-1]\ntitle=\"a\n", {"5: title: the double quote is not closed"});
    row("unreadable lines", "interval_ms=5\n[watch\nx=1\n" + kSites + "kawabe-3\n",
        {"1: interval_ms stands outside a group: put it under [watch], [mqtt], [notify], [maintenance], [sites] or a site's group",
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
        {"2: \"command\" names the users' commands in the topics (<prefix>/command/<user>/<site>) and cannot name a site"});
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
    QCOMPARE(s->mqtt->password, "secret");
    QCOMPARE(s->mqtt->backlogRate, 200);
    QVERIFY(!s->mqtt->homeAssistant && !s->mqtt->insecureFileModes);
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

// A password that others than the file's owner and group may read, and a certificate
// authority that they may write (and so swap), are refused unless the file says that its
// files' modes are not to be checked; a CA that everyone may read, as those of
// /etc/ssl/certs, is taken.
void tst_watchconfig::fileModes_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("insecure");
    QTest::addColumn<QString>("fault"); // empty: the file is taken
    QTest::newRow("password 0600") << "password_file" << 0600 << false << "";
    QTest::newRow("password 0640") << "password_file" << 0640 << false << "";
    QTest::newRow("password 0644") << "password_file" << 0644 << false
                                   << "password_file=f: every user may read the password (mode 0644): chmod o-rwx it "
                                      "(or set insecure_file_modes=true)";
    QTest::newRow("password 0604") << "password_file" << 0604 << false << "every user may read the password (mode 0604)";
    QTest::newRow("password 0644, insecure") << "password_file" << 0644 << true << "";
    QTest::newRow("password 0602") << "password_file" << 0602 << false << "";
    QTest::newRow("ca 0644") << "ca_file" << 0644 << false << "";
    QTest::newRow("ca 0664") << "ca_file" << 0664 << false << "";
    QTest::newRow("ca 0646") << "ca_file" << 0646 << false
                             << "ca_file=f: every user may write the certificate authority (mode 0646): chmod o-w it "
                                "(or set insecure_file_modes=true)";
    QTest::newRow("ca 0666, insecure") << "ca_file" << 0666 << true << "";
}

void tst_watchconfig::fileModes()
{
    QFETCH(QString, key);
    QFETCH(int, mode);
    QFETCH(bool, insecure);
    QFETCH(QString, fault);
    Files files;
    files.write("secret\n", "f", mode);
    QByteArray text = "[mqtt]\nurl=mqtts://h\nusername=u\n" + key.toUtf8() + "=f\n";
    text += key == "ca_file" ? "" : "ca_file=ca\n";
    if (insecure)
        text += "insecure_file_modes=true\n";
    files.write("a CA\n", "ca", 0644);
    QStringList faults;
    const auto s = LoadWatchConfig(files.write(text + kSites), "/d", &faults);
    if (fault.isEmpty()) {
        QVERIFY2(s, qPrintable(faults.join('\n')));
        QCOMPARE(s->mqtt->insecureFileModes, insecure);
        return;
    }
    QVERIFY(!s);
    QCOMPARE(faults.size(), 1);
    QVERIFY2(faults[0].startsWith(files.path("watchd.ini") + ":4: ") && faults[0].contains(fault), qPrintable(faults[0]));
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

    // Another password in the same file: the broker's settings changed (a reload connects
    // again with it).
    const QByteArray withPassword = "[mqtt]\nurl=mqtt://h\nusername=u\npassword_file=pw\n" + kSites;
    files.write("old\n", "pw", 0600);
    const auto old = LoadWatchConfig(files.write(withPassword), "/d", &faults);
    files.write("new\n", "pw", 0600);
    const auto changed = LoadWatchConfig(files.write(withPassword), "/d", &faults);
    QVERIFY(old && changed);
    QCOMPARE(changed->mqtt->password, "new");
    const WatchDiff p = DiffWatchConfig(*old, *changed);
    QVERIFY(p.mqttChanged && p.added.isEmpty() && p.removed.isEmpty() && p.changed.isEmpty());
}

// The watcher and the office view read a password file with the one reader: the first line.
void tst_watchconfig::passwordFile_data()
{
    QTest::addColumn<QByteArray>("bytes"); // "-": no file; "/": a folder
    QTest::addColumn<QString>("expected"); // the password, or "!" and the reason
    QTest::newRow("one line") << QByteArray("secret\n") << "secret";
    QTest::newRow("no line end") << QByteArray("secret") << "secret";
    QTest::newRow("CR LF, more lines") << QByteArray("s e c r e t \r\nsecond\n") << "s e c r e t ";
    QTest::newRow("UTF-8") << QByteArray("パス\n") << "パス";
    QTest::newRow("4096 bytes") << QByteArray(4096, 'x') << QString(4096, 'x');
    QTest::newRow("4097 bytes") << QByteArray(4097, 'x') << "!the file is larger than 4096 bytes for a password";
    QTest::newRow("empty first line") << QByteArray("\nsecret\n") << "!the file holds no password on its first line";
    QTest::newRow("empty") << QByteArray() << "!the file holds no password on its first line";
    QTest::newRow("missing") << QByteArray("-") << "!the file does not exist";
    QTest::newRow("a folder") << QByteArray("/") << "!the file cannot be read: Path/File access error";
}

void tst_watchconfig::passwordFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    Files files;
    QString path = files.path("pw");
    if (bytes == "/")
        QVERIFY(QDir().mkpath(path));
    else if (bytes != "-")
        path = files.write(bytes, "pw");
    QString password = "unchanged", why;
    const bool ok = ReadPasswordFile(path, &password, &why);
    QCOMPARE(ok ? password : "!" + why, expected);
    if (!ok)
        QCOMPARE(password, "unchanged");
}

// A value written as IniFile::valueText writes it reads back as it was, whatever characters
// QSettings would otherwise take for a list, a comment, a quote or an escape.
void tst_watchconfig::valuesWrittenReadBack()
{
    const QStringList values = {"mqtt://127.0.0.1:1883", "/home/ops/pw file", "a,b", "x;y", "#hash", "say \"hi\"",
                                "C:\\dir\\file", " padded ", "川辺;第1", "a=b", "tab\there", "", "ends with \\"};
    Files files;
    QByteArray text = "[g]\n";
    for (int i = 0; i < values.size(); ++i)
        text += "k" + QByteArray::number(i) + "=" + IniFile::valueText(values[i]).toUtf8() + "\n";
    IniFile ini;
    QVERIFY(ini.read(files.write(text), 4096));
    // Blanks around a value are never part of it.
    for (int i = 0; i < values.size(); ++i)
        QCOMPARE(ini.text("g", "k" + QString::number(i)), values[i].trimmed());
    QVERIFY2(!ini.failed(), qPrintable(ini.faults().join('\n')));
    QCOMPARE(IniFile::valueText("mqtt://127.0.0.1:1883"), "mqtt://127.0.0.1:1883");
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
