#include "stationtimings.h"

namespace {
StationTimings& storage()
{
    static StationTimings timings;
    return timings;
}
} // namespace

const StationTimings& StationTimings::current()
{
    return storage();
}

void StationTimings::setForTesting(const StationTimings& timings)
{
    storage() = timings;
}
