// The compiled matcher of a pattern list: three deterministic automata (anchored for
// prefix and exact entries, search for contains entries, reversed for suffix entries)
// over one compressed state table. Built once, then only read: any number of threads
// may run it at the same time.
//
// The table is kept small whatever the list's size: bytes that no entry tells apart
// share one byte class (a letter and its other case, for instance; bytes that no entry
// holds fall in class 0, which leads nowhere), rows are indexed by class, and a state is
// named by the position of its row, so one step reads one 8-byte cell, which also says
// whether the state it leads to accepts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One entry as the automaton sees it; an entry that is not `included` gets a slot that
// never matches.
struct SPatternSource {
    std::string text;
    int kind = 0;
    int flags = 0;
    bool included = true;
};

// Where a match lies in the searched text and which entry (index into the sources) made it.
struct SMatchResult {
    int entry = -1;
    size_t start = 0;
    size_t end = 0;
};

class CMatchAutomaton {
public:
    static constexpr int32_t kFormat = 6;

    // Entry i of `sources` accepts with the value i + 1.
    // False when the entries would need more states than a list may have (runs of
    // optional and repeated elements can multiply them); the automaton then matches
    // nothing, instead of the build taking the process's memory.
    bool Build(const std::vector<SPatternSource>& sources);
    // The fixed matcher of links to a numeric host: "http://" or "https://" (either case)
    // and four dot-separated groups of digits, the first three of one to three digits.
    // One contains slot; it matches anywhere in a text.
    bool BuildNumericLink();
    // Runs the three automata in turn over `text`; true with `result` set on a match.
    bool Run(const char* text, size_t length, SMatchResult& result) const;
    // True when no entry can match.
    bool IsEmpty() const { return m_acceptingStates == 0; }

    // The automaton in the ".dfa" layout (little-endian 32-bit integers), appended to `out`.
    void Serialize(std::string& out) const;
    // Reads an automaton written by Serialize from `data` at `at` and advances `at`.
    // False (and this object empty) when the data is short, of another format, or has
    // any index outside its tables.
    bool Deserialize(const std::string& data, size_t& at);

    // Slot 0 is unused; slot i + 1 holds the kind of entry i, plus 16 for whole-word
    // entries, or 0 for an entry that never matches.
    const std::vector<int32_t>& SlotKinds() const { return m_slotKinds; }
    // The slot kind that Build gives `source`.
    static int32_t SlotKindOf(const SPatternSource& source);

private:
    friend class CAutomatonBuilder;

    bool RunAnchored(const unsigned char* text, size_t length, SMatchResult& result) const;
    bool RunSuffix(const unsigned char* text, size_t length, SMatchResult& result) const;
    bool RunContains(const unsigned char* text, size_t length, SMatchResult& result) const;
    // A step's result: the state reached, plus kAccepting when it accepts.
    static constexpr int32_t kAccepting = int32_t{1} << 30;
    static constexpr int32_t kStateMask = kAccepting - 1;

    // One table cell: the state whose row holds it (-1 free) and where it leads.
    struct SCell {
        int32_t owner = -1;
        int32_t next = 0;
    };

    // The state reached from `state` by `byte` (with kAccepting when it accepts), or -1.
    int32_t Step(int32_t state, unsigned char byte) const {
        const SCell& cell = m_cells[static_cast<size_t>(state) + m_classOf[byte]];
        return cell.owner == state ? cell.next : -1;
    }
    bool WholeWord(int32_t slot) const { return (m_slotKinds[slot] & 16) != 0; }
    void Clear();
    bool Validate(const std::vector<int32_t>& accepts) const;
    // Sets m_acceptAt and the accepting bits of the cells from the states' accepted slots.
    void Finish(const std::vector<int32_t>& accepts);

    int32_t m_containsStart = 0;
    int32_t m_anchoredStart = 0;
    int32_t m_suffixStart = 0;
    int32_t m_classCount = 1;
    std::array<uint8_t, 256> m_classOf{};
    std::vector<int32_t> m_slotKinds{0};
    std::vector<int32_t> m_states{0};    // each state's row position, in build order
    std::vector<SCell> m_cells{SCell{}};  // every row position + m_classCount lies inside
    std::vector<int32_t> m_acceptAt{0};  // by row position: the accepted slot, 0 none
    size_t m_acceptingStates = 0;
};
