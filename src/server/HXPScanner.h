#pragma once
// Reads the arguments of a remote-control frame the way a scan format such as
// "HXPSTART %d CMD DOUT %i %s HXPEND" spells it out: items are separated by
// any run of white space, literal words must match, and scanning stops at the
// first item that does not match; what was not scanned keeps the caller's
// value. Unlike a C scan it is bounded: numbers that overflow, are not
// finite ("nan", "inf") or do not fill their whole token ("1.5" for an
// integer, "3x") count as not scanned, and words are cut to a length.

#include <cstddef>
#include <cstdint>
#include <string>

class HXPScanner {
public:
    explicit HXPScanner(const char* text);

    HXPScanner& Literal(const char* word);
    // base 10 for "%d"; base 0 for "%i" (0x hexadecimal, leading 0 octal).
    HXPScanner& Int(int32_t& out, int base = 10);
    HXPScanner& Float(float& out);
    HXPScanner& Double(double& out);
    // One blank-free word of at most maxLength characters.
    HXPScanner& Word(std::string& out, std::size_t maxLength);

    // Whether the next word (where scanning stands) is exactly `word`.
    bool NextIs(const char* word) const;

    // Conversions stored so far (literals not counted).
    int Count() const { return m_Count; }
    bool Failed() const { return m_Failed; }

    // The client's counter of a frame: "HXPSTART %d", 0 when absent.
    static int32_t Counter(const char* frame);
    // A scan past "HXPSTART %d CMD <keyword>", the counter stored; the keyword's arguments follow.
    static HXPScanner Command(const char* frame, const char* keyword, int32_t& counter);

private:
    void SkipBlanks();
    // A finite number that fills its token, converted by `convert` (strtof, strtod).
    template <typename T, typename Convert>
    HXPScanner& Real(T& out, Convert convert);

    const char* m_Pos;
    bool m_First = true;
    bool m_Failed = false;
    int m_Count = 0;
};
