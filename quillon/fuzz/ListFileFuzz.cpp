// Fuzzes the list-file and hit-file readers and the entry syntax, then compiles what was
// read and runs it over the input.

#include <cstddef>
#include <cstdint>
#include <string>

#include "filter/ListFile.h"
#include "filter/PatternList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string contents(reinterpret_cast<const char*>(data), size);
    CPatternList list("fuzz");
    CListFile::Parse(contents, [&list](const std::string& written, int subject, int content) {
        std::string text;
        int kind = 0;
        if (CPatternEntry::ParseSyntax(written, text, kind)) {
            // Add takes a C string: a text cut to nothing by a zero byte is refused.
            if (list.Add(text.c_str(), kind, subject, content) == (text.c_str()[0] == '\0'))
                __builtin_trap();
        }
    });
    // What is written for an entry reads back as the same entry.
    for (int i = 0; i < list.GetCount(); ++i) {
        std::string display;
        std::string text;
        int kind = 0;
        if (!list.GetEntryText(i, display, false) ||
            !CPatternEntry::ParseSyntax(display, text, kind))
            __builtin_trap();
        const CPatternEntry& entry = list.GetEntry(i);
        if (text != entry.m_text || kind != entry.m_kind)
            __builtin_trap();
    }
    CListFile::ParseHits(contents);
    if (list.GetCount() > 200)  // compiling long lists only slows the search down
        return 0;
    list.Compile();
    if (list.Match(contents.c_str(), contents.size()) &&
        (list.GetLastMatch() < 0 || list.GetLastMatch() >= list.GetCount() ||
         list.GetMatchStart() > list.GetMatchEnd() ||
         list.GetMatchEnd() > contents.c_str() + contents.size()))
        __builtin_trap();
    return 0;
}
