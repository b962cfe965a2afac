// "frmst.tmp": the 31 window places read by g_funcFormPosLoad (its Retry/Cancel box is
// answered Cancel), then each place turned into pixels and fitted on a screen the way the
// windows place themselves.
#include "FuzzSupport.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "platform/Geometry.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (int id = 0; id < 31; ++id)
        g_subFormPosSet(id, FormPos());
    for (qint16 &f : g_intFormOpen)
        f = 0;
    g_subFormPosDefaultSet(0);
    FuzzWriteDataFile("frmst.tmp", data, size);
    const bool loaded = g_funcFormPosLoad();
    FUZZ_CHECK(loaded == (g_intFormPosDefault == 0));
    const QRect screen(0, 0, 1280, 1024);
    for (const FormPos &p : g_FormPos) {
        const QRect r = FitOnArea(FormPosToPx(p), screen);
        // A fitted window of a usable size is on the screen.
        if (FormPosToPx(p).width() > 0 && FormPosToPx(p).height() > 0) {
            FUZZ_CHECK(r.width() <= screen.width() && r.height() <= screen.height());
            FUZZ_CHECK(r.width() >= 1 && r.height() >= 1);
        }
    }
    return 0;
}
