// One libFuzzer target; FUZZ_ENTRY names the entry it drives.

#include "fuzzentries.h"

#include <QLoggingCategory>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The passes log the time of day at every input.
    QLoggingCategory::setFilterRules(QStringLiteral("quorvane.pass.clock.debug=false"));
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
