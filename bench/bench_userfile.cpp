// bench_userfile: how long saving and loading a whole user data file (.qvd, 65,536 lines,
// 851,968 bytes) takes, against writing and reading the same bytes raw with QFile.
// Prints the median of 7 runs of each and the ratios; the goal is at most 50 ms and at
// most 3 times raw for each direction.
#include "BenchCommon.h"

#include "app/modStartup.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modComm1.h"
#include "platform/Dialogs.h"
#include "platform/Paths.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QFile>
#include <QSaveFile>

#include <cstdio>
#include <memory>

namespace {
constexpr int kRuns = 7;

// Cells worth reading back: every address with data that changes from cell to cell.
void fillImage()
{
    for (int i = 0; i < kImageCells; ++i) {
        UserData[i].setAddress(HexPad(i, 4).toLatin1());
        UserData[i].setData(HexPad((i * 7) & 0xFF, 2));
    }
    UserData[cellInputCode].setData(QByteArrayView("00"));
    UserData[cellRelayMode].setData(QByteArrayView("00"));
}
} // namespace

int main(int argc, char *argv[])
{
    BenchProcess bench(argc, argv);
    if (!bench.ready)
        return 1;
    g_subAppIni(); // data folder and its paths; a first start's boxes go to the script
    g_intCommPort = 1;
    bench.dlg.unexpected = 0;

    fillImage();
    const QByteArray bytes = UserFileBytes(UserData);
    const QString path = bench.home.path() + QStringLiteral("/bench.qvd");
    const QString raw = bench.home.path() + QStringLiteral("/raw.bin");
    bool ok = bytes.size() == kUserFileBytes;

    const double save = medianMs(kRuns, [&] { return g_funcUserDataSave(path); }, &ok);
    const double load = medianMs(kRuns, [&] { return g_funcUserDataLoad(path); }, &ok);
    const double rawWrite = medianMs(kRuns, [&] {
        QFile f(raw);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
    }, &ok);
    const double rawRead = medianMs(kRuns, [&] {
        QFile f(raw);
        return f.open(QIODevice::ReadOnly) && f.readAll().size() == bytes.size();
    }, &ok);
    // The same write into a file that does not exist yet (no truncation of old blocks).
    const double rawFresh = medianMs(kRuns, [&] {
        QFile::remove(raw);
        QFile f(raw);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }, &ok);
    // The same bytes through QSaveFile (temporary file, sync, rename), as every save goes.
    const double rawSafe = medianMs(kRuns, [&] {
        QSaveFile f(raw);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit();
    }, &ok);

    // Where a save and a load spend their time.
    const double build = medianMs(kRuns, [&] { return UserFileBytes(UserData).size() == kUserFileBytes; }, &ok);
    std::unique_ptr<MemCell[]> scratch(new MemCell[kImageCells]);
    const double parse = medianMs(kRuns, [&] {
        FileError e;
        return ParseUserFile(bytes, scratch.get(), e);
    }, &ok);
    const double ini = medianMs(kRuns, [&] { return g_funcIniFileSave(1); }, &ok);

    QFile check(path);
    ok = ok && check.open(QIODevice::ReadOnly) && check.readAll() == bytes && bench.dlg.unexpected == 0;
    for (int i = 0; i < kImageCells && ok; i += 4099)
        ok = UserData[i].data() == HexPad((i * 7) & 0xFF, 2);

    printf("user data file: %lld bytes, median of %d runs\n", qint64(bytes.size()), kRuns);
    printf("g_funcUserDataSave  %7.2f ms | raw QFile write over the old file %6.2f ms (ratio %5.2f), into a new file"
           " %6.2f ms (ratio %6.2f) | QSaveFile %6.2f ms (ratio %5.2f)\n",
           save, rawWrite, save / rawWrite, rawFresh, save / rawFresh, rawSafe, save / rawSafe);
    printf("g_funcUserDataLoad  %7.2f ms | raw QFile read %6.2f ms (ratio %6.2f)\n", load, rawRead, load / rawRead);
    printf("  of which: text of the image %.2f ms, parse of the text %.2f ms, qvo.ini save %.2f ms\n", build, parse, ini);
    auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    printf("goal <= 50 ms: save %s, load %s; goal <= 3 x raw QFile: save %s, load %s\n", verdict(save <= 50),
           verdict(load <= 50), verdict(save <= 3 * rawWrite), verdict(load <= 3 * rawRead));
    if (!ok)
        printf("ERROR: a save or load failed or the file's bytes are wrong (%d unexpected boxes)\n", bench.dlg.unexpected);
    return ok ? 0 : 1;
}
