// Read-only view of a text buffer with the position-based primitives the header scanner
// works through. Does not own the text; the caller keeps it alive. One thread at a time.
//
// Every primitive stays inside [0, length): a view over a buffer without a terminating
// zero byte is safe. A zero byte inside the view counts as the end of the text for the
// span operation. All searches are byte searches for ASCII bytes and case folding is ASCII
// only, so a UTF-8 (or Latin-1) multibyte sequence is never split or altered: none of its
// bytes is below 0x80.
#pragma once

#include "kinbook/kinbook_export.h"

class KINBOOK_API CTextMessageGen {
public:
    CTextMessageGen() = default;
    CTextMessageGen(const char* text, unsigned length);
    CTextMessageGen(const CTextMessageGen& other) = default;
    CTextMessageGen& operator=(const CTextMessageGen& other) = default;
    virtual ~CTextMessageGen();

    // Nonzero when pos >= length.
    virtual int AtEnd(unsigned pos) const;
    // Number of bytes from pos up to the first byte that is in `set`, a zero byte or the
    // end of the view. `set` holds ASCII bytes only. 0 when pos is at or past the end.
    virtual int strcspn(unsigned pos, const char* set) const;
    // Compares at most n bytes of the text at pos with `s`, ASCII letters without regard
    // to case; the end of `s` (its zero byte) and the end of the view end the compare.
    // 0 when equal (both end together or n bytes agree); otherwise the sign of the first
    // difference, the end of the view counting as a zero byte.
    virtual int strnicmp(unsigned pos, const char* s, unsigned n) const;
    // Copies n bytes from pos to dest, fewer when the view ends first; `dest` must have
    // room for n bytes. Returns the number of bytes copied.
    virtual unsigned strncpy(char* dest, unsigned pos, unsigned n) const;
    virtual unsigned GetLength() const { return m_length; }
    // The byte at pos; a zero byte outside the view.
    virtual char operator[](int pos) const;

    const char* GetText() const { return m_text; }

private:
    unsigned m_length = 0;
    const char* m_text = nullptr;
};
