// Review counters kept by the running filter chain: the counts join the chain's own and
// are written with them (when a mail client's connection ends, and at shut-down). The
// chain takes its lock; the review calls with no store lock held.
#pragma once

#include "filter/FilterChain.h"
#include "review/ReviewCounters.h"

class CChainReviewCounters : public IReviewCounters {
public:
    explicit CChainReviewCounters(CFilterChain& chain) : m_chain(chain) {}

    void CountReleased(char tag) override { m_chain.CountReleased(tag); }
    void CountDeleted(char tag) override { m_chain.CountDeleted(tag); }

private:
    CFilterChain& m_chain;
};
