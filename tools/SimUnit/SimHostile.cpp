#include "SimHostile.h"

namespace simunit {

bool ParseHostileKind(const std::string& text, HostileKind& kind)
{
    if (text == "random")
        kind = HostileKind::Random;
    else if (text == "high")
        kind = HostileKind::High;
    else if (text == "printable")
        kind = HostileKind::Printable;
    else if (text == "mixed")
        kind = HostileKind::Mixed;
    else
        return false;
    return true;
}

const char* HostileKindName(HostileKind kind)
{
    switch (kind) {
    case HostileKind::Random:
        return "random";
    case HostileKind::High:
        return "high";
    case HostileKind::Printable:
        return "printable";
    case HostileKind::Mixed:
        return "mixed";
    }
    return "?";
}

CHostileBytes::CHostileBytes(unsigned long ulSeed, HostileKind kind, bool bNoFlowControl)
    : m_gen(static_cast<std::mt19937::result_type>(ulSeed)), m_kind(kind), m_bNoFlowControl(bNoFlowControl)
{
}

void CHostileBytes::Next(char* p, size_t cb)
{
    for (size_t i = 0; i < cb; ++i)
        p[i] = static_cast<char>(NextByte());
}

unsigned char CHostileBytes::NextByte()
{
    // One draw a byte, whatever the kind: the low bits pick the class of a mixed byte, the
    // bits above them its value.
    const unsigned long r = static_cast<unsigned long>(m_gen());
    unsigned char b = 0;
    switch (m_kind) {
    case HostileKind::Random:
        b = static_cast<unsigned char>(r & 0xFF);
        break;
    case HostileKind::High:
        b = static_cast<unsigned char>(0x80 | (r & 0x7F));
        break;
    case HostileKind::Printable:
        b = static_cast<unsigned char>(0x20 + r % 95);
        break;
    case HostileKind::Mixed: {
        const unsigned long v = r >> 3;
        switch (r & 7) {
        case 0:
        case 1:
            b = static_cast<unsigned char>(v & 0xFF);
            break;
        case 2:
        case 3:
            b = static_cast<unsigned char>(0x80 | (v & 0x7F));
            break;
        case 4:
        case 5:
        case 6:
            b = static_cast<unsigned char>(0x20 + v % 95);
            break;
        default:
            b = static_cast<unsigned char>("\r\n[]"[v & 3]);
            break;
        }
        break;
    }
    }
    if (m_bNoFlowControl && (b == 0x11 || b == 0x13))
        b = 'x';
    return b;
}

} // namespace simunit
