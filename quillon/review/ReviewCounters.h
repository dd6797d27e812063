// Where the review counts what the user did with held mail, by the message's category
// tag ('X' bad, 'N' nice, 'Q' other; other tags are not counted). The filter chain keeps
// these counters; the review calls them with no store lock held, so an implementation may
// take the chain's lock.
#pragma once

class IReviewCounters {
public:
    virtual ~IReviewCounters() = default;
    virtual void CountReleased(char tag) = 0;
    virtual void CountDeleted(char tag) = 0;
};
