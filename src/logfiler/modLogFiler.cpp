#include "logfiler/modLogFiler.h"

qint16 flgLogFilerOnWork = 0;

LogFilerEvents &logFilerEvents()
{
    static LogFilerEvents *e = new LogFilerEvents(); // lives as long as the process
    return *e;
}
