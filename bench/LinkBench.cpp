// Link figures, measured side by side in one run: how fast the program takes in the unit's
// frames (receive, classify, show, trace) against a plain reader of the same bytes on the
// same link, how many commands a second it gets answered, and how late answer time-outs
// come. Each receive figure is taken without a debug-output listener and with the trace
// capture attached.
#include "comm/Comm.h"
#include "support/CommTestSupport.h"
#include "support/SimUnitProcess.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

enum class Link { Tcp, Serial };

const wchar_t* Name(Link link)
{
    return link == Link::Tcp ? L"TCP loopback" : L"pseudo-terminal COM";
}

// A point in time and the seconds since one, from the performance counter.
LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Seconds(LONGLONG start)
{
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    return static_cast<double>(Now() - start) / static_cast<double>(freq.QuadPart);
}

// Starts the unit so that it floods nFrames frames after the first command.
bool StartUnit(SimUnitProcess& unit, Link link, int& nTcpPort, int nFrames, const std::wstring& extra = L"")
{
    std::wstring flood = L" --quiet " + extra;
    if (nFrames > 0)
        flood += L" --flood-after-command 1 " + std::to_wstring(nFrames) + L" [SMP_BENCH_{n}]";
    if (link == Link::Tcp) {
        nTcpPort = UnusedTcpPort();
        return unit.Start(L"--tcp 127.0.0.1:" + std::to_wstring(nTcpPort) + flood, L"NUL");
    }
    return unit.Start(L"--com " + std::to_wstring(UnitComPort()) + L" --baud 115200" + flood, L"NUL");
}

bool OpenProgramLink(CComm* comm, Link link, int nTcpPort)
{
    return link == Link::Tcp ? comm->Open_Ethernet(L"127.0.0.1", nTcpPort)
                             : comm->Open_Serial(static_cast<unsigned short>(ProgramComPort()), 115200);
}

void CloseProgramLink(CComm* comm, Link link)
{
    if (link == Link::Tcp)
        comm->CloseEthernet();
    else
        comm->CloseSerial();
}

size_t FloodBytes(int nFrames)
{
    size_t n = 0;
    for (int i = 1; i <= nFrames; ++i)
        n += std::string("[SMP_BENCH_" + std::to_string(i) + "]\r\n").size();
    return n;
}

// Frames a second through the program: from the command that starts the flood to the last
// notification.
double ProgramRate(Link link, int nFrames)
{
    SimUnitProcess unit;
    int nPort = 0;
    if (!StartUnit(unit, link, nPort, nFrames))
        return 0;
    CRecorderWnd owner;
    owner.Create();
    CComm* comm = CComm::GetInstance();
    comm->SetOwnerWnd(&owner);
    double rate = 0;
    if (OpenProgramLink(comm, link, nPort)) {
        const LONGLONG start = Now();
        comm->SendData(L"[SPL_GO__]", nullptr, enRECV_NONE, false);
        if (PumpUntil([&] { return owner.Count(WM_SERIAL_SMP) >= static_cast<size_t>(nFrames); }, 600000))
            rate = nFrames / Seconds(start);
        CloseProgramLink(comm, link);
    }
    delete comm;
    return rate;
}

// Frames a second into a plain reader of the same link: the link's own limit here.
double PlainRate(Link link, int nFrames)
{
    SimUnitProcess unit;
    int nPort = 0;
    if (!StartUnit(unit, link, nPort, nFrames))
        return 0;
    const size_t nBytes = FloodBytes(nFrames);
    double rate = 0;
    if (link == Link::Tcp) {
        // A plain client: connect, ask, read everything.
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(nPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            const LONGLONG start = Now();
            send(s, "[SPL_GO__]\r\n", 12, 0);
            size_t nGot = 0;
            const size_t nAnswer = std::string("[EPL_GO___001]\r\n").size();
            char buffer[65536];
            while (nGot < nBytes + nAnswer) {
                const int n = recv(s, buffer, sizeof(buffer), 0);
                if (n <= 0)
                    break;
                nGot += static_cast<size_t>(n);
            }
            if (nGot >= nBytes + nAnswer)
                rate = nFrames / Seconds(start);
        }
        closesocket(s);
        WSACleanup();
    } else {
        SerialPeer reader;
        if (reader.Open(ProgramComPort(), 115200)) {
            const LONGLONG start = Now();
            reader.Write("[SPL_GO__]\r\n");
            const size_t nAnswer = std::string("[EPL_GO___001]\r\n").size();
            if (reader.Read(nBytes + nAnswer, 600000).size() >= nBytes + nAnswer)
                rate = nFrames / Seconds(start);
        }
    }
    return rate;
}

double AnsweredCommandsRate(Link link, int nCommands)
{
    SimUnitProcess unit;
    int nPort = 0;
    if (!StartUnit(unit, link, nPort, 0))
        return 0;
    CRecorderWnd reply;
    reply.Create();
    CComm* comm = CComm::GetInstance();
    double rate = 0;
    if (OpenProgramLink(comm, link, nPort)) {
        const LONGLONG start = Now();
        int i = 0;
        for (; i < nCommands; ++i) {
            comm->SendData(i % 2 ? L"[SPL_PANO]" : L"[SPM_CEPH]", &reply, enRECV_COMMAND, false);
            if (!PumpUntil([&] { return reply.notes.size() == static_cast<size_t>(i + 1); }, 10000))
                break;
        }
        if (i == nCommands)
            rate = nCommands / Seconds(start);
        CloseProgramLink(comm, link);
    }
    delete comm;
    return rate;
}

void TimeOutLateness(int nSamples)
{
    SimUnitProcess unit;
    int nPort = 0;
    if (!StartUnit(unit, Link::Tcp, nPort, 0, L"--silent CSON"))
        return;
    CRecorderWnd reply;
    reply.Create();
    CComm* comm = CComm::GetInstance();
    std::vector<long long> lateness;
    for (int i = 0; i < nSamples; ++i) {
        if (!comm->Open_Ethernet(L"127.0.0.1", nPort))
            break;
        LARGE_INTEGER freq, start, end;
        QueryPerformanceFrequency(&freq);
        QueryPerformanceCounter(&start);
        comm->SendData(L"[SPL_CSON]", &reply, enRECV_COMMAND, false);
        if (!PumpUntil([&] { return reply.notes.size() == static_cast<size_t>(i + 1); }, 20000))
            break;
        QueryPerformanceCounter(&end);
        lateness.push_back((end.QuadPart - start.QuadPart) * 1000 / freq.QuadPart - 3000);
        PumpUntil([&] { return comm->RunningWorkerCount() == 0; }, 10000);
    }
    delete comm;
    if (lateness.empty())
        return;
    std::sort(lateness.begin(), lateness.end());
    std::printf("answer time-out lateness over %d time-outs of 3000 ms: min %lld ms, median %lld ms, max %lld ms\n",
                static_cast<int>(lateness.size()), lateness.front(), lateness[lateness.size() / 2], lateness.back());
}

// Runs fn once without and once with the trace capture listening to this process; returns
// the figure without.
template <class Fn>
double WithAndWithoutTrace(const char* lpWhat, Fn fn)
{
    const double without = fn();
    const std::wstring dir = MakeScratchDir(L"bench");
    ChildProcess capture;
    const std::wstring ready = L"RigBenchTraceReady_" + std::to_wstring(GetCurrentProcessId());
    HANDLE hReady = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
    double with = 0;
    if (capture.Start(L"\"" + BinDir() + L"TraceCapture.exe\" --pid " + std::to_wstring(GetCurrentProcessId()) +
                      L" --out \"" + dir + L"trace.txt\" --ready-event " + ready) &&
        WaitForSingleObject(hReady, 30000) == WAIT_OBJECT_0) {
        with = fn();
    }
    capture.Terminate();
    CloseHandle(hReady);
    std::printf("%s: %.0f per second without a listener, %.0f with the trace capture attached\n", lpWhat, without, with);
    std::fflush(stdout);
    return without;
}

} // namespace

int main(int argc, char** argv)
{
    const int nFrames = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int nCommands = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int nTimeOuts = argc > 3 ? std::atoi(argv[3]) : 10;
    if (ProgramComPort() == 0)
        std::printf("(no COM pair: run inside tools/wine-env.sh)\n");

    for (Link link : {Link::Tcp, Link::Serial}) {
        const double plain = PlainRate(link, nFrames);
        std::printf("%ls, %d frames: plain reader %.0f frames/s\n", Name(link), nFrames, plain);
        char szWhat[128];
        std::snprintf(szWhat, sizeof(szWhat), "%ls, program receiving frames", Name(link));
        const double program = WithAndWithoutTrace(szWhat, [&] { return ProgramRate(link, nFrames); });
        if (plain > 0)
            std::printf("%ls: program without listener / plain reader = %.3f\n", Name(link), program / plain);
        std::snprintf(szWhat, sizeof(szWhat), "%ls, answered commands", Name(link));
        WithAndWithoutTrace(szWhat, [&] { return AnsweredCommandsRate(link, nCommands); });
    }
    TimeOutLateness(nTimeOuts);
    return 0;
}
