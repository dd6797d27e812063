#include "filter/MatchAutomaton.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "filter/PatternEntry.h"

namespace {

constexpr int32_t kWholeWordSlot = 16;

bool IsLetter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A set of byte values (or, once the classes are known, of byte classes).
struct SByteSet {
    std::array<uint64_t, 4> bits{};
    void Add(unsigned char c) { bits[c >> 6] |= uint64_t{1} << (c & 63); }
    void Add(const char* chars) {
        for (; *chars != '\0'; ++chars) Add(static_cast<unsigned char>(*chars));
    }
    bool Has(unsigned char c) const { return (bits[c >> 6] >> (c & 63) & 1) != 0; }
};

// One step of an entry's pattern: a byte set, optionally repeated (the last blank of a
// run) or optional (a fuzzy separator between two letters).
struct SElement {
    SByteSet set;
    bool repeat = false;
    bool optional = false;
    bool blank = false;
};

// The steps of `text` under `flags`; false when the text holds a byte above 127.
bool Elements(const std::string& text, int flags, std::vector<SElement>& elements) {
    const bool fuzzy = (flags & PF_FUZZY) != 0;
    const bool matchCase = (flags & PF_MATCH_CASE) != 0;
    const char* blanks = fuzzy ? " \t\r\n*-._~" : " \t\r\n";
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c > 127)
            return false;
        SElement element;
        if (c == ' ' || c == '\t') {
            element.set.Add(blanks);
            element.blank = true;
            element.repeat = i + 1 == text.size() || (text[i + 1] != ' ' && text[i + 1] != '\t');
        } else if (IsLetter(c) && !matchCase) {
            element.set.Add(static_cast<unsigned char>(c | 0x20));
            element.set.Add(static_cast<unsigned char>(c & ~0x20));
        } else {
            element.set.Add(c);
        }
        if (fuzzy && i > 0 && IsLetter(c) && IsLetter(static_cast<unsigned char>(text[i - 1]))) {
            SElement separator;
            separator.set.Add(" *-._~");
            separator.optional = true;
            elements.push_back(separator);
        }
        elements.push_back(element);
    }
    return !elements.empty();
}

struct SEdge {
    SByteSet set;
    int32_t target;
};

struct SNfaState {
    std::vector<SEdge> edges;
    int32_t slot = 0;  // the entry slot accepted here, 0 none
};

struct SSetHash {
    size_t operator()(const std::vector<int32_t>& set) const {
        uint64_t hash = 1469598103934665603ull;
        for (int32_t member : set) hash = (hash ^ static_cast<uint32_t>(member)) * 1099511628211ull;
        return static_cast<size_t>(hash);
    }
};

}  // namespace

// Builds the three automata: one chain of NFA states per entry, subset construction
// per group into one shared DFA, then the comb-packed transition table.
class CAutomatonBuilder {
public:
    explicit CAutomatonBuilder(CMatchAutomaton& target) : m_target(target) {}
    bool Build(const std::vector<SPatternSource>& sources);
    bool BuildNumericLink();

private:
    // Gives every byte its class and rewrites the elements' sets over classes.
    void MakeClasses(std::vector<std::vector<SElement>*> chains);
    int32_t AddChain(std::vector<SElement> elements, int32_t slot);
    int32_t StateFor(std::vector<int32_t> set);
    bool Determinize();
    int32_t ChooseAccept(const std::vector<int32_t>& set) const;
    bool Pack();
    int32_t NextFree(int32_t slot);
    int32_t FitRow(const std::vector<std::pair<unsigned char, int32_t>>& moves);

    CMatchAutomaton& m_target;
    std::vector<SNfaState> m_nfa;
    std::vector<std::vector<int32_t>> m_sets;  // DFA state -> its NFA states, sorted
    std::unordered_map<std::vector<int32_t>, int32_t, SSetHash> m_ids;
    std::vector<std::vector<std::pair<unsigned char, int32_t>>> m_moves;  // per DFA state
    std::vector<int32_t> m_free;  // union-find over table slots: the next free slot
    std::vector<bool> m_rowTaken;  // row positions that name a state
    int32_t m_emptyRow = 0;        // where to look for the next row without moves
    int32_t m_searchFrom = 0;      // where FitRow begins to look
    size_t m_members = 0;         // NFA states over all DFA state sets
};

// What one automaton may grow to, by the size of its entries: a real list needs about
// one state per entry character (its entries share beginnings or stand apart), so a
// few times that is far beyond any real list and stops a list whose optional and
// repeated elements would multiply the states before it takes time or memory.
constexpr size_t kStatesPerNfaState = 8;
constexpr size_t kMembersPerNfaState = 64;
constexpr size_t kFreeStates = 4096;
// Rows FitRow tries before later searches begin further on.
constexpr int kTriesBeforeSkip = 32;

int32_t CAutomatonBuilder::AddChain(std::vector<SElement> elements, int32_t slot) {
    const int32_t start = static_cast<int32_t>(m_nfa.size());
    m_nfa.emplace_back();
    std::vector<int32_t> heads{start};
    for (const SElement& element : elements) {
        const int32_t state = static_cast<int32_t>(m_nfa.size());
        m_nfa.emplace_back();
        for (int32_t head : heads) m_nfa[head].edges.push_back({element.set, state});
        if (element.repeat)
            m_nfa[state].edges.push_back({element.set, state});
        if (element.optional)
            heads.push_back(state);
        else
            heads.assign(1, state);
    }
    m_nfa[heads.back()].slot = slot;
    return start;
}

void CAutomatonBuilder::MakeClasses(std::vector<std::vector<SElement>*> chains) {
    CMatchAutomaton& a = m_target;
    // Two bytes share a class when every set holds both or neither.
    std::set<std::array<uint64_t, 4>> distinct;
    for (const std::vector<SElement>* chain : chains)
        for (const SElement& element : *chain) distinct.insert(element.set.bits);
    const std::vector<std::array<uint64_t, 4>> sets(distinct.begin(), distinct.end());
    std::map<std::vector<bool>, uint8_t> classes;
    std::array<unsigned char, 256> sample{};
    a.m_classOf.fill(0);
    for (int c = 0; c < 128; ++c) {
        std::vector<bool> members(sets.size());
        bool any = false;
        for (size_t i = 0; i < sets.size(); ++i) {
            members[i] = (sets[i][c >> 6] >> (c & 63) & 1) != 0;
            any = any || members[i];
        }
        if (!any)
            continue;
        auto [found, added] =
            classes.emplace(std::move(members), static_cast<uint8_t>(classes.size() + 1));
        if (added)
            sample[found->second] = static_cast<unsigned char>(c);
        a.m_classOf[c] = found->second;
    }
    a.m_classCount = static_cast<int32_t>(classes.size() + 1);
    for (std::vector<SElement>* chain : chains) {
        for (SElement& element : *chain) {
            SByteSet over;
            for (int32_t k = 1; k < a.m_classCount; ++k)
                if (element.set.Has(sample[k]))
                    over.Add(static_cast<unsigned char>(k));
            element.set = over;
        }
    }
}

bool CAutomatonBuilder::Build(const std::vector<SPatternSource>& sources) {
    CMatchAutomaton& a = m_target;
    a.Clear();
    struct SChain {
        std::vector<SElement> elements;
        int kind;
        int32_t slot;
    };
    std::vector<SChain> chains;
    for (size_t i = 0; i < sources.size(); ++i) {
        const SPatternSource& source = sources[i];
        std::vector<SElement> elements;
        int32_t slotKind = CMatchAutomaton::SlotKindOf(source);
        a.m_slotKinds.push_back(slotKind);
        if (slotKind == 0 || !Elements(source.text, source.flags, elements))
            continue;
        if (source.kind == PK_SUFFIX)
            std::reverse(elements.begin(), elements.end());
        // A contains entry that begins with blanks matches after a run of blanks
        // exactly when it matches at the run's end, so its leading blanks do not
        // repeat: otherwise every start inside a long run of blanks would walk to
        // the run's end, and a text of many blank lines would take quadratic time.
        for (size_t e = 0; source.kind == PK_CONTAINS && e < elements.size() && elements[e].blank;
             ++e)
            elements[e].repeat = false;
        chains.push_back({std::move(elements), source.kind, static_cast<int32_t>(i + 1)});
    }
    std::vector<std::vector<SElement>*> all;
    for (SChain& chain : chains) all.push_back(&chain.elements);
    MakeClasses(all);
    std::vector<int32_t> anchored;
    std::vector<int32_t> contains;
    std::vector<int32_t> suffix;
    for (SChain& chain : chains) {
        std::vector<int32_t>& group = chain.kind == PK_SUFFIX     ? suffix
                                      : chain.kind == PK_CONTAINS ? contains
                                                                  : anchored;
        group.push_back(AddChain(std::move(chain.elements), chain.slot));
    }
    // The contains automaton first: its start row, walked at every text position, then
    // lies at the table's beginning with the rows near it.
    a.m_containsStart = StateFor(contains);
    a.m_anchoredStart = StateFor(anchored);
    a.m_suffixStart = StateFor(suffix);
    if (!Determinize() || !Pack()) {
        std::vector<int32_t> kinds = std::move(a.m_slotKinds);
        a.Clear();
        a.m_slotKinds = std::move(kinds);
        return false;
    }
    return true;
}

// "http", an optional "s" (letters in either case), "://", then four groups of digits
// separated by dots, the first three of one to three digits, the last of at least one
// (it accepts at its first digit): one contains entry in slot 1.
bool CAutomatonBuilder::BuildNumericLink() {
    CMatchAutomaton& a = m_target;
    a.Clear();
    a.m_slotKinds.push_back(PK_CONTAINS);
    std::vector<SElement> elements;
    auto add = [&elements](const char* set, bool optional) {
        SElement element;
        element.set.Add(set);
        element.optional = optional;
        elements.push_back(element);
    };
    for (const char* letters : {"Hh", "Tt", "Tt", "Pp"}) add(letters, false);
    add("Ss", true);
    for (const char* c : {":", "/", "/"}) add(c, false);
    constexpr const char kDigits[] = "0123456789";
    for (int group = 0; group < 3; ++group) {
        add(kDigits, false);
        add(kDigits, true);
        add(kDigits, true);
        add(".", false);
    }
    add(kDigits, false);
    MakeClasses({&elements});
    a.m_containsStart = StateFor({AddChain(std::move(elements), 1)});
    a.m_anchoredStart = StateFor({});
    a.m_suffixStart = StateFor({});
    if (!Determinize() || !Pack()) {
        a.Clear();
        return false;
    }
    return true;
}

int32_t CAutomatonBuilder::StateFor(std::vector<int32_t> set) {
    auto found = m_ids.find(set);
    if (found != m_ids.end())
        return found->second;
    const int32_t id = static_cast<int32_t>(m_sets.size());
    m_members += set.size();
    m_ids.emplace(set, id);
    m_sets.push_back(std::move(set));
    return id;
}

int32_t CAutomatonBuilder::ChooseAccept(const std::vector<int32_t>& set) const {
    // Several entries may end in one state. The least demanding one is reported, so
    // that no match is lost: a prefix entry before an exact one (a prefix entry also
    // accepts at the end of the text), an entry without "whole word only" before one
    // with it; then the lowest slot.
    int32_t best = 0;
    int bestRank = 99;
    for (int32_t member : set) {
        const int32_t slot = m_nfa[member].slot;
        if (slot == 0)
            continue;
        const int32_t kind = m_target.m_slotKinds[slot];
        const int rank = (kind & 15) == PK_EXACT ? 2 : (kind & kWholeWordSlot) != 0 ? 1 : 0;
        if (rank < bestRank || (rank == bestRank && slot < best)) {
            best = slot;
            bestRank = rank;
        }
    }
    return best;
}

bool CAutomatonBuilder::Determinize() {
    std::vector<std::vector<int32_t>> buckets(256);
    std::vector<unsigned char> touched;
    for (size_t state = 0; state < m_sets.size(); ++state) {
        if (m_sets.size() > kFreeStates + kStatesPerNfaState * m_nfa.size() ||
            m_members > kFreeStates + kMembersPerNfaState * m_nfa.size())
            return false;
        touched.clear();
        for (int32_t member : m_sets[state]) {
            for (const SEdge& edge : m_nfa[member].edges) {
                for (int word = 0; word < 4; ++word) {
                    for (uint64_t bits = edge.set.bits[word]; bits != 0; bits &= bits - 1) {
                        const unsigned char c =
                            static_cast<unsigned char>(word * 64 + __builtin_ctzll(bits));
                        if (buckets[c].empty())
                            touched.push_back(c);
                        buckets[c].push_back(edge.target);
                    }
                }
            }
        }
        std::sort(touched.begin(), touched.end());
        std::vector<std::pair<unsigned char, int32_t>> moves;
        for (unsigned char c : touched) {
            std::vector<int32_t>& set = buckets[c];
            std::sort(set.begin(), set.end());
            set.erase(std::unique(set.begin(), set.end()), set.end());
            moves.emplace_back(c, StateFor(std::move(set)));
            buckets[c].clear();
        }
        m_moves.push_back(std::move(moves));
    }
    return true;
}

// The smallest free table slot at or after `slot` (free slots past the end included).
int32_t CAutomatonBuilder::NextFree(int32_t slot) {
    while (static_cast<size_t>(slot) >= m_free.size())
        m_free.push_back(static_cast<int32_t>(m_free.size()));
    int32_t root = slot;
    while (m_free[root] != root) {
        root = m_free[root];
        if (static_cast<size_t>(root) >= m_free.size())
            m_free.push_back(root);
    }
    while (m_free[slot] != root) {
        const int32_t next = m_free[slot];
        m_free[slot] = root;
        slot = next;
    }
    return root;
}

// The first row position at which every move of `moves` (byte classes, ascending) finds
// its cell free and which names no other state.
int32_t CAutomatonBuilder::FitRow(const std::vector<std::pair<unsigned char, int32_t>>& moves) {
    const std::vector<CMatchAutomaton::SCell>& cells = m_target.m_cells;
    if (moves.empty()) {
        while (static_cast<size_t>(m_emptyRow) < m_rowTaken.size() && m_rowTaken[m_emptyRow])
            ++m_emptyRow;
        return m_emptyRow;
    }
    // The first move goes to a free cell, the others must find theirs free. The search
    // begins at m_searchFrom: where many rows have been tried in vain, the table is full
    // enough that later searches skip half of that stretch, which keeps packing a large
    // list from trying every gap again for every state.
    int tries = 0;
    for (int32_t slot = NextFree(m_searchFrom + moves[0].first);; slot = NextFree(slot + 1)) {
        const int32_t row = slot - moves[0].first;
        bool fits = static_cast<size_t>(row) >= m_rowTaken.size() || !m_rowTaken[row];
        for (size_t i = 1; fits && i < moves.size(); ++i) {
            const size_t other = static_cast<size_t>(row) + moves[i].first;
            fits = other >= cells.size() || cells[other].owner == -1;
        }
        if (fits) {
            if (++tries > kTriesBeforeSkip)
                m_searchFrom += (row - m_searchFrom) / 2;
            return row;
        }
        ++tries;
    }
}

// Places every state's row; cells first hold the target's state number, then its row.
bool CAutomatonBuilder::Pack() {
    CMatchAutomaton& a = m_target;
    const size_t states = m_sets.size();
    a.m_states.assign(states, 0);
    a.m_cells.clear();
    std::vector<int32_t> accepts(states, 0);
    // Rows with the most moves first, while the table is empty (a row of many moves
    // would otherwise try every gap left by the others); then the sparse rows fill gaps.
    std::vector<int32_t> order(states);
    for (size_t state = 0; state < states; ++state) order[state] = static_cast<int32_t>(state);
    std::stable_sort(order.begin(), order.end(), [this](int32_t a, int32_t b) {
        return m_moves[a].size() > m_moves[b].size();
    });
    for (int32_t state : order) {
        accepts[state] = ChooseAccept(m_sets[state]);
        const auto& moves = m_moves[state];
        const int32_t row = FitRow(moves);
        if (static_cast<size_t>(row) + 256 >= static_cast<size_t>(CMatchAutomaton::kAccepting))
            return false;
        if (static_cast<size_t>(row) >= m_rowTaken.size())
            m_rowTaken.resize(static_cast<size_t>(row) + 1, false);
        m_rowTaken[row] = true;
        a.m_states[state] = row;
        const size_t end = static_cast<size_t>(row + a.m_classCount);
        if (end > a.m_cells.size())
            a.m_cells.resize(end);
        for (const auto& [c, target] : moves) {
            const size_t at = static_cast<size_t>(row) + c;
            a.m_cells[at] = {row, target};
            NextFree(static_cast<int32_t>(at));
            m_free[at] = static_cast<int32_t>(at + 1);
        }
    }
    for (CMatchAutomaton::SCell& cell : a.m_cells)
        if (cell.owner != -1)
            cell.next = a.m_states[cell.next];
    a.m_containsStart = a.m_states[a.m_containsStart];
    a.m_anchoredStart = a.m_states[a.m_anchoredStart];
    a.m_suffixStart = a.m_states[a.m_suffixStart];
    a.Finish(accepts);
    return true;
}

bool CMatchAutomaton::Build(const std::vector<SPatternSource>& sources) {
    return CAutomatonBuilder(*this).Build(sources);
}

int32_t CMatchAutomaton::SlotKindOf(const SPatternSource& source) {
    if (!source.included || source.text.empty())
        return 0;
    if (source.kind != PK_PREFIX && source.kind != PK_SUFFIX && source.kind != PK_CONTAINS &&
        source.kind != PK_EXACT)
        return 0;
    return source.kind + ((source.flags & PF_WHOLE_WORD) != 0 ? kWholeWordSlot : 0);
}

void CMatchAutomaton::Clear() {
    m_containsStart = m_anchoredStart = m_suffixStart = 0;
    m_classCount = 1;
    m_classOf.fill(0);
    m_slotKinds.assign(1, 0);
    m_states.assign(1, 0);
    m_cells.assign(1, SCell{});
    m_acceptAt.assign(1, 0);
    m_acceptingStates = 0;
}

void CMatchAutomaton::Finish(const std::vector<int32_t>& accepts) {
    m_acceptAt.assign(m_cells.size(), 0);
    m_acceptingStates = 0;
    for (size_t state = 0; state < m_states.size(); ++state) {
        m_acceptAt[m_states[state]] = accepts[state];
        m_acceptingStates += accepts[state] != 0 ? 1 : 0;
    }
    for (SCell& cell : m_cells)
        if (cell.owner != -1 && m_acceptAt[cell.next] != 0)
            cell.next |= kAccepting;
}

bool CMatchAutomaton::RunAnchored(const unsigned char* text, size_t length,
                                  SMatchResult& result) const {
    int32_t state = m_anchoredStart;
    bool accepting = m_acceptAt[state] != 0;
    for (size_t i = 0;; ++i) {
        if (accepting) {
            const int32_t slot = m_acceptAt[state];
            const bool prefix = (m_slotKinds[slot] & 15) == PK_PREFIX;
            const bool boundary = i == length || !IsLetter(text[i]);
            if (i == length || (prefix && (!WholeWord(slot) || boundary))) {
                result = {slot - 1, 0, i};
                return true;
            }
        }
        if (i == length)
            return false;
        const int32_t step = Step(state, text[i]);
        if (step < 0)
            return false;
        state = step & kStateMask;
        accepting = (step & kAccepting) != 0;
    }
}

bool CMatchAutomaton::RunSuffix(const unsigned char* text, size_t length,
                                SMatchResult& result) const {
    int32_t state = m_suffixStart;
    for (size_t i = length; i > 0; --i) {
        const int32_t step = Step(state, text[i - 1]);
        if (step < 0)
            return false;
        state = step & kStateMask;
        if ((step & kAccepting) == 0)
            continue;
        const int32_t slot = m_acceptAt[state];
        if (!WholeWord(slot) || i == 1 || !IsLetter(text[i - 2])) {
            result = {slot - 1, i - 1, length};
            return true;
        }
    }
    return false;
}

bool CMatchAutomaton::RunContains(const unsigned char* text, size_t length,
                                  SMatchResult& result) const {
    const SCell* cells = m_cells.data();
    const int32_t root = m_containsStart;
    for (size_t start = 0; start < length; ++start) {
        // Most starts end at the first byte: one cell of the start row, near the table's
        // beginning.
        const SCell& first = cells[static_cast<size_t>(root) + m_classOf[text[start]]];
        if (first.owner != root)
            continue;
        int32_t step = first.next;
        for (size_t i = start;;) {
            const int32_t state = step & kStateMask;
            if ((step & kAccepting) != 0) {
                const int32_t slot = m_acceptAt[state];
                if (!WholeWord(slot) ||
                    ((start == 0 || !IsLetter(text[start - 1])) &&
                     (i + 1 == length || !IsLetter(text[i + 1])))) {
                    result = {slot - 1, start, i + 1};
                    return true;
                }
            }
            if (++i == length || (step = Step(state, text[i])) < 0)
                break;
        }
    }
    return false;
}

bool CMatchAutomaton::Run(const char* text, size_t length, SMatchResult& result) const {
    if (m_acceptingStates == 0 || text == nullptr)
        return false;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    return RunAnchored(bytes, length, result) || RunSuffix(bytes, length, result) ||
           RunContains(bytes, length, result);
}

bool CMatchAutomaton::BuildNumericLink() {
    return CAutomatonBuilder(*this).BuildNumericLink();
}
