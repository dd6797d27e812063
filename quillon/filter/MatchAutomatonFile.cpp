// The ".dfa" layout of CMatchAutomaton (docs/word-lists.md). Everything read is checked
// before use: a damaged file is refused, never followed.
#include "filter/MatchAutomaton.h"

#include "filter/PatternEntry.h"

namespace {

void Put(std::string& out, int32_t value) {
    const uint32_t bits = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((bits >> shift) & 0xFF));
}

void PutAll(std::string& out, const std::vector<int32_t>& values) {
    for (int32_t value : values) Put(out, value);
}

class CReader {
public:
    CReader(const std::string& data, size_t at) : m_data(data), m_at(at) {}
    bool Get(int32_t& value) {
        if (m_at > m_data.size() || m_data.size() - m_at < 4)
            return false;
        uint32_t bits = 0;
        for (int i = 0; i < 4; ++i)
            bits |= static_cast<uint32_t>(static_cast<unsigned char>(m_data[m_at + i])) << (8 * i);
        m_at += 4;
        value = static_cast<int32_t>(bits);
        return true;
    }
    bool GetAll(std::vector<int32_t>& values, int32_t count) {
        values.resize(static_cast<size_t>(count));
        for (int32_t& value : values)
            if (!Get(value))
                return false;
        return true;
    }
    size_t IntsLeft() const { return m_at > m_data.size() ? 0 : (m_data.size() - m_at) / 4; }
    size_t Position() const { return m_at; }

private:
    const std::string& m_data;
    size_t m_at;
};

bool ValidSlotKind(int32_t kind) {
    const int32_t base = kind & ~16;
    return kind == 0 || ((kind & ~31) == 0 && (base == PK_PREFIX || base == PK_SUFFIX ||
                                               base == PK_CONTAINS || base == PK_EXACT));
}

bool InRange(int32_t value, int32_t count) {
    return value >= 0 && value < count;
}

}  // namespace

void CMatchAutomaton::Serialize(std::string& out) const {
    Put(out, kFormat);
    Put(out, static_cast<int32_t>(m_states.size()));
    Put(out, m_containsStart);
    Put(out, m_anchoredStart);
    Put(out, m_suffixStart);
    Put(out, static_cast<int32_t>(m_slotKinds.size()));
    Put(out, static_cast<int32_t>(m_cells.size()));
    Put(out, m_classCount);
    for (uint8_t c : m_classOf) Put(out, c);
    PutAll(out, m_slotKinds);
    PutAll(out, m_states);
    for (int32_t row : m_states) Put(out, m_acceptAt[row]);
    for (const SCell& cell : m_cells) Put(out, cell.owner == -1 ? 0 : cell.next & kStateMask);
    for (const SCell& cell : m_cells) Put(out, cell.owner);
}

// Checks what Deserialize read: every row, cell and slot inside its table, one state per
// row; false otherwise.
bool CMatchAutomaton::Validate(const std::vector<int32_t>& accepts) const {
    const size_t cells = m_cells.size();
    std::vector<bool> isRow(cells, false);
    bool valid = m_slotKinds[0] == 0 && m_classCount >= 1 && m_classCount <= 256;
    for (int32_t kind : m_slotKinds) valid = valid && ValidSlotKind(kind);
    for (size_t b = 0; valid && b < m_classOf.size(); ++b)
        valid = m_classOf[b] < m_classCount && (b < 128 || m_classOf[b] == 0);
    for (size_t i = 0; valid && i < m_states.size(); ++i) {
        const int32_t row = m_states[i];
        valid = row >= 0 && static_cast<uint64_t>(row) + static_cast<uint64_t>(m_classCount) <=
                                cells && !isRow[row] &&
                InRange(accepts[i], static_cast<int32_t>(m_slotKinds.size())) &&
                (accepts[i] == 0 || m_slotKinds[accepts[i]] != 0);
        if (valid)
            isRow[row] = true;
    }
    for (int32_t start : {m_containsStart, m_anchoredStart, m_suffixStart})
        valid = valid && start >= 0 && static_cast<size_t>(start) < cells && isRow[start];
    for (size_t i = 0; valid && i < cells; ++i) {
        const SCell& cell = m_cells[i];
        valid = (cell.owner == -1 && cell.next == 0) || (cell.owner >= 0 && static_cast<size_t>(cell.owner) < cells &&
                                     isRow[cell.owner] && cell.next >= 0 &&
                                     static_cast<size_t>(cell.next) < cells && isRow[cell.next]);
    }
    return valid;
}

bool CMatchAutomaton::Deserialize(const std::string& data, size_t& at) {
    Clear();
    CReader reader(data, at);
    int32_t format = 0, states = 0, slots = 0, table = 0, classes = 0;
    if (!reader.Get(format) || format != kFormat || !reader.Get(states) ||
        !reader.Get(m_containsStart) || !reader.Get(m_anchoredStart) ||
        !reader.Get(m_suffixStart) || !reader.Get(slots) || !reader.Get(table) ||
        !reader.Get(classes))
        return Clear(), false;
    const uint64_t needed = 256ull + static_cast<uint64_t>(slots) +
                            2ull * static_cast<uint64_t>(states) +
                            2ull * static_cast<uint64_t>(table);
    if (states < 1 || slots < 1 || table < 1 || table >= kAccepting ||
        needed > reader.IntsLeft())
        return Clear(), false;
    m_classCount = classes;
    std::vector<int32_t> classOf, accepts, next, owners;
    if (!reader.GetAll(classOf, 256) || !reader.GetAll(m_slotKinds, slots) ||
        !reader.GetAll(m_states, states) || !reader.GetAll(accepts, states) ||
        !reader.GetAll(next, table) || !reader.GetAll(owners, table))
        return Clear(), false;
    for (size_t b = 0; b < 256; ++b) {
        if (classOf[b] < 0 || classOf[b] > 255)
            return Clear(), false;
        m_classOf[b] = static_cast<uint8_t>(classOf[b]);
    }
    m_cells.resize(static_cast<size_t>(table));
    for (size_t i = 0; i < m_cells.size(); ++i) m_cells[i] = {owners[i], next[i]};
    if (!Validate(accepts))
        return Clear(), false;
    at = reader.Position();
    Finish(accepts);
    return true;
}
