// One libFuzzer target; FUZZ_ENTRY names the entry it drives.

#include "fuzzentries.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace {

void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // The passes log the time of day; only warnings and worse are shown.
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString fault = fuzzentries::FUZZ_ENTRY(data, size);
    if (!fault.isEmpty()) {
        std::fprintf(stderr, "broken promise: %s\n", qPrintable(fault));
        std::abort();
    }
    return 0;
}
