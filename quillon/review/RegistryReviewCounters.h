// Review counters kept straight in the registry values of the "Settings" section, for a
// process that has no filter chain (a command run while no Quillon runs): each count
// reads, increments and writes its value. Any thread; the registry serialises the writes.
#pragma once

#include "review/ReviewCounters.h"

class CRegistryReviewCounters : public IReviewCounters {
public:
    // The "Settings" value counting releases or deletions of `tag`, or null when such a
    // tag is not counted.
    static const char* CounterName(char tag, bool released);

    void CountReleased(char tag) override { Count(CounterName(tag, true)); }
    void CountDeleted(char tag) override { Count(CounterName(tag, false)); }

private:
    static void Count(const char* name);
};
