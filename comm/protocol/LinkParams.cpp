#include "comm/protocol/LinkParams.h"

#include "storage/StorageMngr.h"

#include <cwchar>

LinkParams LinkParams::Serial(int nComPort, unsigned long dwBaud)
{
    LinkParams params;
    params.kind = LinkKind::Serial;
    params.nComPort = nComPort;
    params.dwBaud = dwBaud;
    return params;
}

LinkParams LinkParams::Tcp(const wchar_t* lpAddress, int nTcpPort)
{
    LinkParams params;
    params.kind = LinkKind::Tcp;
    params.address = lpAddress != nullptr ? lpAddress : L"";
    params.nTcpPort = nTcpPort;
    return params;
}

std::wstring LinkParams::Describe() const
{
    wchar_t szText[320] = {};
    if (kind == LinkKind::Serial)
        _snwprintf(szText, 319, L"COM%d at %lu baud", nComPort, dwBaud);
    else
        _snwprintf(szText, 319, L"%.260s:%d", address.c_str(), nTcpPort);
    return szText;
}

LinkParams LinkParams::FromSettings(const ConfigSettings& config, const MachineSettings& machine)
{
    const bool bOwn = config.CommMode == 0;
    const int nCommType = bOwn ? config.CommType : machine.UseCommType;
    if (nCommType != 0)
        return LinkParams::Tcp(bOwn ? config.EthernetIP : machine.MachineIP, kUnitTcpPort);
    return LinkParams::Serial(bOwn ? config.Comport : machine.Comport,
                              static_cast<unsigned long>(bOwn ? config.Baudrate : machine.Baudrate));
}
