// The ".qvd" reader: the bytes as a user data file loaded by g_funcUserDataLoad (a file
// refused is parsed again by ParseUserFile, which must tell why), then the image shown the
// way the editor shows it (its input type, DecodeSettings) and taken back unedited
// (EncodeSettings), which must give the same texts and counts again.
#include "FuzzSupport.h"

#include "core/modMain1.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <algorithm>
#include <memory>

namespace {
bool g_userDataTouched = true;

bool sameTexts(const EditorTexts &a, const EditorTexts &b)
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 9; ++c)
            if (a.cell[r][c] != b.cell[r][c] || a.cellCount[r][c] != b.cellCount[r][c])
                return false;
    for (int i = 0; i < 5; ++i)
        if (a.param[i] != b.param[i] || a.paramCount[i] != b.paramCount[i])
            return false;
    for (int i = 0; i < 8; ++i)
        if (a.nc[i] != b.nc[i])
            return false;
    return a.detectLimit == b.detectLimit && a.detectLimitCount == b.detectLimitCount;
}

void resetGlobals()
{
    g_subInputTypeSet(0);
    g_intSaved = 0;
    g_subUserFileSet(QString(), QString());
    if (g_userDataTouched) {
        g_subUserDataIni();
        g_userDataTouched = false;
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    resetGlobals();
    FuzzWriteDataFile("fuzz.qvd", data, size);
    const QString path = FuzzDataFile("fuzz.qvd");

    const bool loaded = g_funcUserDataLoad(path);
    g_userDataTouched = loaded;
    if (!loaded) {
        // The parser on the bytes by themselves tells why: they do not parse, or the image
        // they give cannot be shown.
        static const std::unique_ptr<MemCell[]> parsed(new MemCell[kImageCells]);
        FileError err;
        const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
        if (ParseUserFile(bytes, parsed.get(), err)) {
            FUZZ_CHECK(!ImageShowable(parsed.get(), err));
            FUZZ_CHECK(err.number == errTypeMismatch);
        } else {
            FUZZ_CHECK(err.number == errInputPastEnd);
        }
        return 0;
    }

    // Shown as the editor shows it: the type from the image, then the texts.
    FileError err;
    FUZZ_CHECK(ImageShowable(UserData, err));
    SetTypeFromImage(UserData);
    EditorTexts shown;
    FUZZ_CHECK(DecodeSettings(UserData, shown, err));

    // Taken back unedited and shown again: nothing changes.
    static const std::unique_ptr<MemCell[]> back(new MemCell[kImageCells]);
    std::copy(UserData, UserData + kImageCells, back.get());
    EncodeSettings(shown, back.get());
    SetTypeFromImage(back.get());
    EditorTexts again;
    FUZZ_CHECK(DecodeSettings(back.get(), again, err));
    FUZZ_CHECK(sameTexts(shown, again));
    return 0;
}
