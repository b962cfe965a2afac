// "clr.ini": the graph's 21 colours read by LoadColorFile, then made the colours the
// graph paints with.
#include "FuzzSupport.h"

#include "graph/modGraph1.h"
#include "platform/QtDialogs.h"

#include <QColor>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::fill(g_lngColor, g_lngColor + kColors, 0);
    SetDefaultColors();
    FuzzWriteDataFile("clr.ini", data, size);
    if (!LoadColorFile()) {
        // A refused file leaves the table as it was.
        const qint32 *defaults = DefaultColors();
        FUZZ_CHECK(std::equal(defaults, defaults + 11, g_lngColor));
        return 0;
    }
    for (qint32 c : g_lngColor)
        FUZZ_CHECK(QtDialogs::qtColor(quint32(c)).isValid());
    return 0;
}
