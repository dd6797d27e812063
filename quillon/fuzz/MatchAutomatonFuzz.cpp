// Fuzzes the ".dfa" reader: whatever it accepts must run without leaving its tables and
// must write back the bytes it read.

#include <cstddef>
#include <cstdint>
#include <string>

#include "filter/MatchAutomaton.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    size_t at = 0;
    CMatchAutomaton automaton;
    if (!automaton.Deserialize(bytes, at)) {
        if (at != 0)
            __builtin_trap();
        return 0;
    }
    std::string again;
    automaton.Serialize(again);
    if (again != bytes.substr(0, at))
        __builtin_trap();
    const std::string texts[] = {bytes, "free money, f.r.e.e", "x", ""};
    for (const std::string& text : texts) {
        SMatchResult result;
        if (automaton.Run(text.data(), text.size(), result) &&
            (result.start > result.end || result.end > text.size() || result.entry < 0 ||
             static_cast<size_t>(result.entry) + 1 >= automaton.SlotKinds().size()))
            __builtin_trap();
    }
    return 0;
}
