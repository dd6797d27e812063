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
    Put(out, static_cast<int32_t>(m_base.size()));
    Put(out, m_containsStart);
    Put(out, m_anchoredStart);
    Put(out, m_suffixStart);
    Put(out, static_cast<int32_t>(m_slotKinds.size()));
    Put(out, static_cast<int32_t>(m_next.size()));
    PutAll(out, m_slotKinds);
    PutAll(out, m_base);
    PutAll(out, m_accept);
    PutAll(out, m_next);
    PutAll(out, m_check);
}

bool CMatchAutomaton::Deserialize(const std::string& data, size_t& at) {
    Clear();
    CReader reader(data, at);
    int32_t format = 0, states = 0, slots = 0, table = 0;
    if (!reader.Get(format) || format != kFormat || !reader.Get(states) ||
        !reader.Get(m_containsStart) || !reader.Get(m_anchoredStart) ||
        !reader.Get(m_suffixStart) || !reader.Get(slots) || !reader.Get(table))
        return Clear(), false;
    const uint64_t needed = static_cast<uint64_t>(slots) + 2ull * static_cast<uint64_t>(states) +
                            2ull * static_cast<uint64_t>(table);
    if (states < 1 || slots < 1 || table < 0 || needed > reader.IntsLeft() ||
        !InRange(m_containsStart, states) || !InRange(m_anchoredStart, states) ||
        !InRange(m_suffixStart, states))
        return Clear(), false;
    if (!reader.GetAll(m_slotKinds, slots) || !reader.GetAll(m_base, states) ||
        !reader.GetAll(m_accept, states) || !reader.GetAll(m_next, table) ||
        !reader.GetAll(m_check, table))
        return Clear(), false;
    bool valid = m_slotKinds[0] == 0;
    for (int32_t kind : m_slotKinds) valid = valid && ValidSlotKind(kind);
    for (int32_t i = 0; valid && i < states; ++i)
        valid = m_base[i] >= 0 && m_base[i] <= table && InRange(m_accept[i], slots) &&
                (m_accept[i] == 0 || m_slotKinds[m_accept[i]] != 0);
    for (int32_t i = 0; valid && i < table; ++i)
        valid = m_check[i] == -1 || (InRange(m_check[i], states) && InRange(m_next[i], states));
    if (!valid)
        return Clear(), false;
    at = reader.Position();
    CountAccepting();
    return true;
}
