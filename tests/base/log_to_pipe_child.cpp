// Started by the platform tests with its standard output on a pipe whose reader has gone: logs
// two lines into the folder given as its first argument, with SIGPIPE ignored the way the
// launcher starts ("ignore") or left at the system's default ("default").
#include <cstring>

#include "base/log.h"
#include "base/platform.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    if (std::strcmp(argv[2], "ignore") == 0) qv::launcher::ignoreBrokenPipe();
    qv::launcher::openLog(argv[1], 0);
    qv::launcher::logInfo("the first line");
    qv::launcher::logInfo("the second line");
    qv::launcher::closeLog();
    return 0;
}
