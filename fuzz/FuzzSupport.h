#pragma once
// What every harness shares: the Qt application made once, a private data folder (under
// /dev/shm when there is one) that g_strDataPath names, quiet message boxes, the virtual
// clock, and writing an input into a file of the data folder.
#include "platform/Dialogs.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

// Once per process, from LLVMFuzzerInitialize: the application, the data folder, the
// quiet boxes (the platform's QuietDialogs: the button that gives up, so no Retry loop runs
// again), a virtual clock, and Qt's own messages silenced.
void FuzzInit(int *argc, char ***argv);

// The data folder, ending in '/'.
const QString &FuzzDataFolder();
// A file of the data folder.
QString FuzzDataFile(const char *name);
// Replaces the file's contents with the input; aborts when the file cannot be written,
// because every later result would be meaningless.
void FuzzWriteDataFile(const char *name, const uint8_t *data, size_t size);

// Stops the run with a message: a broken expectation of the harness counts as a crash.
[[noreturn]] void FuzzFail(const char *what);
#define FUZZ_CHECK(cond)                                                                                              \
    do {                                                                                                              \
        if (!(cond))                                                                                                  \
            FuzzFail(#cond);                                                                                          \
    } while (0)
