// Hostile bytes: a seeded stream of bytes of one class that the unit throws at the program,
// to see that line noise of any shape neither crashes it nor makes it grow without bound.
// The stream is a pure function of the seed and the kind, so a run can be repeated exactly.
#pragma once

#include <cstddef>
#include <random>
#include <string>

namespace simunit {

enum class HostileKind {
    Random,    // every byte value 0x00..0xFF
    High,      // 0x80..0xFF
    Printable, // 0x20..0x7E (brackets included)
    Mixed,     // per byte: 2 in 8 any value, 2 in 8 high, 3 in 8 printable, 1 in 8 CR, LF, '[' or ']'
};

// "random", "high", "printable", "mixed" (lower case only); false for anything else.
bool ParseHostileKind(const std::string& text, HostileKind& kind);
const char* HostileKindName(HostileKind kind);

class CHostileBytes {
public:
    // bNoFlowControl: XON (0x11) and XOFF (0x13) become 'x', for a line that would take them
    // out of the data.
    CHostileBytes(unsigned long ulSeed, HostileKind kind, bool bNoFlowControl);

    // The next cb bytes of the stream.
    void Next(char* p, size_t cb);

private:
    unsigned char NextByte();

    std::mt19937 m_gen;
    HostileKind m_kind;
    bool m_bNoFlowControl;
};

} // namespace simunit
