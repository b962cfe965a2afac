// "qvo.ini": the port, the sampling time and the last file, read by g_funcIniFileLoad as
// the start-up reads it, then shown where the tool shows them (the port panel, the last
// file's folder and name).
#include "FuzzSupport.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modLinkState.h"
#include "platform/Paths.h"
#include "settings/modUserData.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    g_intCommPort = 100;
    g_subSamplingTimeSet(1000);
    g_subUserFileSet(QString());
    FuzzWriteDataFile("qvo.ini", data, size);
    if (!g_funcIniFileLoad())
        return 0;
    const QString panel = CommPortPanelText(g_intCommPort);
    FUZZ_CHECK(!panel.isEmpty());
    FUZZ_CHECK(GetPathFolder(g_strUserFile) + GetPathFile(g_strUserFile) == g_strUserFile);
    return 0;
}
