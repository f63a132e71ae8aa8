// How the unit is reached, as one value: the transport and its parameters. FromSettings
// makes it from the stored settings, the console from its fields; the link manager
// opens what it says.
#pragma once

#include <string>

struct ConfigSettings;
struct MachineSettings;

enum class LinkKind { Serial, Tcp };

// The unit answers on this TCP port; the port numbers kept in the settings are not used to
// open the link.
constexpr int kUnitTcpPort = 20130;

struct LinkParams {
    LinkKind kind = LinkKind::Serial;
    int nComPort = 0;            // serial: the n of "COMn"
    unsigned long dwBaud = 0;    // serial: bits per second
    std::wstring address;        // TCP: dotted IPv4 address
    int nTcpPort = 0;            // TCP: port

    static LinkParams Serial(int nComPort, unsigned long dwBaud);
    static LinkParams Tcp(const wchar_t* lpAddress, int nTcpPort);
    // From the stored settings: with CommMode 0 the link settings of Config.ini, otherwise
    // those of the capture software's environment file; a TCP link always goes to the unit's
    // port 20130.
    static LinkParams FromSettings(const ConfigSettings& config, const MachineSettings& machine);

    // "COM5 at 115200 baud" or "127.0.0.1:20130", for the console and the trace.
    std::wstring Describe() const;
};
