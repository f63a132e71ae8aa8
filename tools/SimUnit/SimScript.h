// What the simulated unit does beyond answering each command at once: delays, silent words,
// split answers, noise, unsolicited frames, hang-ups, floods, paced floods and holds of the
// program's output (XOFF, a unit that stops reading), hostile bytes. Filled from the command
// line and from a scenario file before the first connection; read-only afterwards, so the
// reader and writer threads share it without a lock.
#pragma once

#include "SimHostile.h"

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace simunit {

// A frame the unit sends on its own: at connect (afterCommand 0) or after the answer to the
// afterCommand-th command of a connection.
struct ScriptFrame {
    unsigned long afterCommand = 0;
    std::string frame;
};

struct ScriptPeriodic {
    DWORD dwPeriodMs = 0;
    std::string frame;
};

struct ScriptFlood {
    unsigned long afterCommand = 0;
    unsigned long count = 0;
    std::string frame; // "{n}" / "{nW}" become the frame's number, 1 to count (see Numbered)
};

// A flood at a fixed rate: frame k (from 1) is due (k-1)/rate seconds after the start, on a
// schedule that a late write does not shift.
struct ScriptPace {
    unsigned long afterCommand = 0; // 0: on connect
    unsigned long count = 0;
    unsigned long rate = 0;         // frames a second
    std::string frame;              // numbered as flood frames
};

// Seeded hostile bytes, on connect (afterCommand 0) or after the answer to the
// afterCommand-th command.
struct ScriptHostile {
    unsigned long afterCommand = 0;
    unsigned long count = 0; // bytes
    unsigned long seed = 0;
    HostileKind kind = HostileKind::Random;
};

// Something the unit keeps up for a while after the answer to the afterCommand-th command.
struct ScriptHold {
    unsigned long afterCommand = 0;
    DWORD dwMs = 0;
};

class CSimScript {
public:
    // Number of arguments of a directive, or -1 when the name is unknown.
    static int ArgCount(const std::string& name);

    // Applies one directive. Texts and frames are still escaped; words compare ignoring case.
    bool Apply(const std::string& name, const std::vector<std::string>& args, std::string& error);

    // Reads a scenario file; error names the line that failed.
    bool LoadFile(const std::wstring& path, std::string& error);

    DWORD DelayFor(const std::string& word) const;
    bool IsSilent(const std::string& word) const;

    unsigned long m_ulSplitPieces = 1;
    DWORD m_dwSplitPauseMs = 0;
    std::string m_noise;
    std::string m_lineEnd = "\r\n";
    bool m_bAnswerWithSpaces = false;
    std::vector<ScriptFrame> m_frames;
    std::vector<ScriptPeriodic> m_periodic;
    unsigned long m_ulHangupAfterCommand = 0; // 0: never
    // After the answer to this command the unit goes away for m_dwVanishMs: it closes the
    // connection (COM: its port) and refuses new ones meanwhile (0: never).
    unsigned long m_ulVanishAfterCommand = 0;
    DWORD m_dwVanishMs = 0;
    // The unit goes away for m_dwVanishMs as soon as a connection starts.
    bool m_bVanishAtConnect = false;
    // After the answer to this command the connection is reset (COM: as a hang-up) (0: never).
    unsigned long m_ulResetAfterCommand = 0;
    std::vector<ScriptFlood> m_floods;
    std::vector<ScriptPace> m_paces;
    std::vector<ScriptHold> m_xoffs;        // XOFF, then XON dwMs later
    std::vector<ScriptHold> m_readingStops; // read nothing for dwMs
    std::vector<ScriptHostile> m_hostiles;
    DWORD m_dwEchoTimeoutMs = 3000;
    // Echoes are counted instead of logged one by one: one summary line a connection.
    bool m_bEchoSummary = false;

private:
    std::map<std::string, DWORD> m_delays; // upper-case word or "*"
    std::set<std::string> m_silent;        // upper-case word or "*"
};

} // namespace simunit
