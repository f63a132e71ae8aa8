// SimUnit: a stand-in for the X-ray unit on the far end of the workstation's link, for tests
// and demonstrations. It listens on TCP (one connection at a time) or holds a COM port, cuts
// the bytes it receives into bracketed frames, answers every command frame [SPx_WORD...] with
// its echo [EPx_WORD_001] CR LF, and can misbehave on purpose as a scenario tells it.
// It shares no code with the program: one bug must not hide on both ends of a link.
//
// Command line (the directives below may also be given as options: --NAME ARG...):
//   SimUnit [--tcp [HOST:]PORT | --com N [--baud B]] [--script FILE] [--log FILE]
//           [--raw-log FILE] [--ready-event NAME] [--stop-event NAME] [--once]
//           [--quit-after MS] [--quiet]
//   --tcp [HOST:]PORT   listen there (default 127.0.0.1:20130); after a peer leaves, the next
//                       connection is accepted
//   --com N             open COMN, 8N1 with XON/XOFF; after a hang-up the port is reopened.
//                       On COM a "connection" is the time the port is open: frames due
//                       "after connect" leave as soon as the port opens
//   --baud B            serial speed (default 9600)
//   --script FILE       read directives from FILE, at this point of the command line
//   --log FILE          event log, one line per event, written through at once
//   --raw-log FILE      every received byte exactly as it came
//   --ready-event NAME  set this named event (manual reset) once listening / the port is open
//   --stop-event NAME   end, as on Ctrl+C, when this named event is set (tests end it so)
//   --once              end after the first connection ends (COM: after the first hang-up)
//   --quit-after MS     end after MS milliseconds
//   --quiet             do not copy the event log to stdout
// "READY" is printed on its own line when the unit listens or has the port open.
// Exit codes: 0 normal end (also Ctrl+C / console close), 1 bad command line, script or log
// file, 2 COM port cannot be opened, 3 TCP address bad or port in use, 4 other start failure.
//
// Scenario file: one directive per line; blank lines and lines starting with # are skipped.
// The last argument of a directive is the rest of the line (blanks inside allowed, outer
// blanks trimmed); TEXT and FRAME accept the escapes \r \n \t \s (space) \0 \\ \xHH.
// WORD is a 4-character command word, compared ignoring case, or * for every word. FRAME is
// sent followed by the line end. Commands are counted per connection from 1.
//   delay WORD MS             answer WORD after MS milliseconds
//   silent WORD               never answer WORD
//   split N MS                send each answer (line end included) in N pieces, MS apart
//   noise TEXT                send TEXT as its own write before each answer
//   line-end TEXT             line end after answers and frames (default \r\n; "none": nothing)
//   answer-with-spaces        answer with a blank in the middle of the word: [EPL_PA NO_001]
//   send-after-connect FRAME  send FRAME when a connection starts
//   send-after-command N FRAME   send FRAME after the answer to the Nth command (at once when
//                             that command is not answered)
//   every MS FRAME            send FRAME every MS milliseconds while connected
//   hangup-after-command N    answer the Nth command with the first half of its answer only
//                             (whatever silent says; after its delay), then drop the connection
//                             (COM: close the port, reopen it 500 ms later)
//   vanish-after-command N MS answer the Nth command, then go away for MS milliseconds: close
//                             the connection and stop listening, so that connections are
//                             refused, then listen again (COM: close the port and reopen it
//                             MS later). Logged as "VANISH planned ..." and "AWAY for MS ms"
//   vanish-after-connect MS   the same as soon as a connection starts (after what is planned
//                             for the connect)
//   reset-after-command N     answer the Nth command, then reset the connection (the peer
//                             sees a reset, not an orderly end; COM: as a hang-up)
//   flood N FRAME             on connect, send FRAME N times as fast as the link takes them;
//                             {n} in FRAME becomes the frame's number 1..N, {nW} (W a digit
//                             1..9) the number zero-padded to W digits: {n6} -> 000001,
//                             {bW} the number in W base-36 digits (0-9, A-Z): {b4} -> 0001,
//                             frame 36 -> 0010
//   flood-after-command M N FRAME   the same after the answer to the Mth command
//   pace N RATE FRAME         on connect, send FRAME (numbered as in flood) N times at RATE
//                             frames a second: frame k is due (k-1)/RATE s after the start,
//                             and whatever is due leaves in one write, so a writer held up by
//                             the link falls behind and catches up without moving the schedule.
//                             Answers and other frames go out between paced frames
//   pace-after-command M N RATE FRAME   the same, starting after the answer to the Mth command
//   xoff-after-command N MS   after the answer to the Nth command send XOFF (0x13) alone, MS
//                             milliseconds later XON (0x11); meanwhile the unit reads and
//                             answers as usual (on COM the program's port holds its output).
//                             Frames planned for the same command follow the XOFF
//   stop-reading-after-command N MS   from the planned time of the Nth command's answer read
//                             nothing for MS milliseconds (the link's buffers fill and the
//                             program's writes stall); the stop event, a hang-up or a failed
//                             write ends the stretch at once, a peer that leaves is noticed
//                             after it
//   echo-timeout MS           how long an SLP frame's ELP echo may take (default 3000)
//   echo-summary              count the echoes instead of logging each: at the end of a
//                             connection one line "ECHO summary ok=N wrong=N missing=N
//                             unexpected=N duplicate=N", and every 10 000 echoes an
//                             "ECHO progress ..." line with the same counts; RX lines and the
//                             FRAME lines of echoes are not written either. A duplicate is an
//                             echo whose word matches no awaited frame but an echoed one: with
//                             {b4} as the word ([SLP_{b4}_{n7}]) every frame has its own word
//                             and a duplicate is the same frame echoed twice
//   hostile N SEED KIND       on connect, send N (1 to 100000000) hostile bytes drawn from
//                             std::mt19937 seeded with SEED (0 to 4294967295), one draw a byte,
//                             so the same arguments give the same bytes. KIND: random (any
//                             value 0x00..0xFF: the draw's low byte), high (0x80..0xFF),
//                             printable (0x20..0x7E, brackets included), mixed (the draw's low
//                             3 bits pick: 0-1 any value, 2-3 high, 4-6 printable, 7 one of CR,
//                             LF, '[', ']'). On COM, 0x11 and 0x13 become 'x' (the line would
//                             take them out as XON/XOFF). Written in blocks of 8192 bytes as
//                             floods are; the stop event or a broken link ends it. Logged as
//                             "HOSTILE N bytes seed S KIND" before and "HOSTILE done N bytes"
//                             or "HOSTILE broken after N bytes" after
//   hostile-after-command M N SEED KIND   the same after the answer to the Mth command
// For every SLP frame it sends, the unit awaits the echo [ELP_WORD_001] and logs
// "echo ok", "echo wrong" or, after the time-out or at the end of the connection,
// "echo missing" (under echo-summary it counts them).
//
// Event log lines: milliseconds since start, then one of
//   LISTEN addr | OPEN COMn ... | CONNECT peer | READY | RX "bytes" | FRAME "frame" |
//   LOOSE "bytes" [(unfinished frame) | (frame too long)] | TX "bytes" | SILENT "frame" |
//   DELAY ms "frame" | HANGUP planned at command n "frame" | FLOOD ... |
//   PACE n x "frame" at r/s | PACE done n frames in t ms, at most l ms behind schedule, b bytes |
//   PACE broken after k of n frames, b bytes | VANISH planned at command n "frame" |
//   RESET planned at command n "frame" | AWAY for ms ms | XOFF sent | XON sent | READING stopped |
//   READING resumed | echo ok "elp" for "slp" | echo wrong ... | echo missing for "slp" |
//   echo unexpected "elp" | ECHO progress ... | ECHO summary ... | HOSTILE n bytes seed s kind |
//   HOSTILE done n bytes | HOSTILE broken after n bytes | DISCONNECT reason | CLOSE COMn |
//   QUIT ... | END
// (PACE done: t from the first frame's due time to the end of the last write, l the largest
// time from a frame's due time to the end of its write.)
// Bytes are shown escaped: \r \n \t \\ \" and \xHH for other non-printable bytes.

#include "SerialLink.h"
#include "SimLog.h"
#include "SimScript.h"
#include "SimSession.h"
#include "SimText.h"
#include "TcpLink.h"

#include <winsock2.h>

#include <memory>
#include <string>
#include <thread>

using namespace simunit;

namespace {

const char kHelp[] =
    "SimUnit - simulated X-ray unit for the workstation's link\r\n"
    "\r\n"
    "SimUnit [--tcp [HOST:]PORT | --com N [--baud B]] [--script FILE] [--log FILE]\r\n"
    "        [--raw-log FILE] [--ready-event NAME] [--stop-event NAME] [--once]\r\n"
    "        [--quit-after MS] [--quiet] [--DIRECTIVE ARG...]...\r\n"
    "\r\n"
    "  --tcp [HOST:]PORT   listen there (default 127.0.0.1:20130), one connection at a time\r\n"
    "  --com N             open COMN, 8N1, XON/XOFF; reopened after a hang-up; a COM\r\n"
    "                      \"connection\" starts when the port opens\r\n"
    "  --baud B            serial speed (default 9600)\r\n"
    "  --script FILE       read directives from FILE (at this point of the command line)\r\n"
    "  --log FILE          event log (RX/FRAME/TX/echo/connection lines), written through\r\n"
    "  --raw-log FILE      every received byte exactly as it came\r\n"
    "  --ready-event NAME  set this named event once listening / the port is open\r\n"
    "  --stop-event NAME   end as on Ctrl+C when this named event is set\r\n"
    "  --once              end after the first connection ends (COM: after the first hang-up)\r\n"
    "  --quit-after MS     end after MS milliseconds\r\n"
    "  --quiet             do not copy the event log to stdout\r\n"
    "\r\n"
    "Every command frame [SPM_WORD...] / [SPL_WORD...] is answered with [EPM_WORD_001] /\r\n"
    "[EPL_WORD_001] and the line end, unless a directive says otherwise. Directives (one per\r\n"
    "line in a script, '#' starts a comment line; on the command line as --NAME ARG...):\r\n"
    "  delay WORD MS              answer WORD (or * for all) after MS milliseconds\r\n"
    "  silent WORD                never answer WORD (or *)\r\n"
    "  split N MS                 send each answer in N pieces, MS apart\r\n"
    "  noise TEXT                 send TEXT as its own write before each answer\r\n"
    "  line-end TEXT              line end after answers and frames (default \\r\\n, or none)\r\n"
    "  answer-with-spaces         answer as [EPL_PA NO_001]\r\n"
    "  send-after-connect FRAME   send FRAME when a connection starts\r\n"
    "  send-after-command N FRAME send FRAME after the answer to the Nth command\r\n"
    "  every MS FRAME             send FRAME every MS milliseconds\r\n"
    "  hangup-after-command N     send half the Nth answer, then drop the connection\r\n"
    "  vanish-after-command N MS  answer the Nth command, close the connection and refuse\r\n"
    "                             new ones for MS ms (COM: close the port for MS ms)\r\n"
    "  vanish-after-connect MS    the same as soon as a connection starts\r\n"
    "  reset-after-command N      answer the Nth command, then reset the connection\r\n"
    "  flood N FRAME              send FRAME N times at once on connect ({n} = 1..N)\r\n"
    "  flood-after-command M N FRAME   the same after the answer to the Mth command\r\n"
    "  pace N RATE FRAME          send FRAME N times at RATE frames a second on connect\r\n"
    "  pace-after-command M N RATE FRAME   the same after the answer to the Mth command\r\n"
    "  xoff-after-command N MS    after the Nth answer send XOFF (0x13), MS ms later XON\r\n"
    "  stop-reading-after-command N MS   after the Nth answer read nothing for MS ms\r\n"
    "  echo-timeout MS            wait this long for the ELP echo of an SLP frame (3000)\r\n"
    "  echo-summary               count echoes: one \"ECHO summary ok=N wrong=N missing=N\r\n"
    "                             unexpected=N duplicate=N\" line a connection (and a\r\n"
    "                             progress line every 10000), no per-echo or RX lines\r\n"
    "  hostile N SEED KIND        on connect, send N (1..100000000) hostile bytes from\r\n"
    "                             std::mt19937(SEED); KIND random (0x00-0xFF), high\r\n"
    "                             (0x80-0xFF), printable (0x20-0x7E), mixed (the three, CR,\r\n"
    "                             LF, brackets); on COM 0x11/0x13 become 'x'\r\n"
    "  hostile-after-command M N SEED KIND   the same after the answer to the Mth command\r\n"
    "In a script the last argument is the rest of the line. TEXT and FRAME take the escapes\r\n"
    "\\r \\n \\t \\s (space) \\0 \\\\ \\xHH. Commands are counted per connection from 1.\r\n"
    "In flood and pace frames {n} is the frame's number, {nW} (W 1..9) the number zero-padded\r\n"
    "to W digits, {bW} the number in W base-36 digits (0-9A-Z; [SLP_{b4}_{n7}] gives each\r\n"
    "frame its own word, so its echo names it). A pace sends what is due in one write and keeps its schedule when late; its\r\n"
    "log line \"PACE done\" tells how far behind it fell.\r\n"
    "Sent SLP frames are checked for their echo: log lines \"echo ok\", \"echo wrong\",\r\n"
    "\"echo missing\", \"echo unexpected\" (or the counts under echo-summary). Hostile bytes\r\n"
    "are logged as \"HOSTILE N bytes seed S KIND\", then \"HOSTILE done N bytes\" or\r\n"
    "\"HOSTILE broken after N bytes\"; they go in blocks of 8192 bytes as floods do.\r\n"
    "\r\n"
    "Exit codes: 0 normal end, 1 bad arguments/script/log file, 2 COM port cannot be opened,\r\n"
    "3 TCP address bad or port in use, 4 other start failure.\r\n";

enum ExitCode { kExitOk = 0, kExitUsage = 1, kExitCom = 2, kExitTcp = 3, kExitStart = 4 };

HANDLE g_hStop = nullptr;
HANDLE g_hDone = nullptr;

BOOL WINAPI OnConsoleControl(DWORD dwType)
{
    SetEvent(g_hStop);
    // Windows ends the process when a close, log-off or shut-down handler returns: give the
    // main thread the time to end the connection and write the last log lines.
    if (dwType == CTRL_CLOSE_EVENT || dwType == CTRL_LOGOFF_EVENT || dwType == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_hDone, 4500);
    return TRUE;
}

int Fail(int code, const std::string& text)
{
    WriteStd(STD_ERROR_HANDLE, "SimUnit: " + text + "\r\n");
    return code;
}

struct Options {
    bool bCom = false;
    bool bTcp = false;
    std::string tcp = "127.0.0.1:20130";
    unsigned long ulCom = 0;
    unsigned long ulBaud = 9600;
    std::wstring logPath;
    std::wstring rawLogPath;
    std::wstring readyEvent;
    std::wstring stopEvent;
    bool bOnce = false;
    bool bQuiet = false;
    unsigned long ulQuitAfter = 0;
};

// Fills opt and script from the command line. Returns -1 to go on, else the exit code.
int ParseCommandLine(int argc, wchar_t** argv, Options& opt, CSimScript& script)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = ToAnsi(argv[i]);
        auto needs = [&](int count) { return i + count < argc; };
        std::string error;
        if (arg == "--help" || arg == "-h" || arg == "/?") {
            WriteStd(STD_OUTPUT_HANDLE, kHelp);
            return kExitOk;
        } else if (arg == "--tcp" && needs(1)) {
            opt.bTcp = true;
            opt.tcp = ToAnsi(argv[++i]);
        } else if (arg == "--com" && needs(1)) {
            opt.bCom = true;
            if (!ParseNumber(ToAnsi(argv[++i]), 255, opt.ulCom) || opt.ulCom == 0)
                return Fail(kExitUsage, "--com needs a port number from 1 to 255");
        } else if (arg == "--baud" && needs(1)) {
            if (!ParseNumber(ToAnsi(argv[++i]), 4000000, opt.ulBaud) || opt.ulBaud == 0)
                return Fail(kExitUsage, "--baud needs a positive speed");
        } else if (arg == "--script" && needs(1)) {
            if (!script.LoadFile(argv[++i], error))
                return Fail(kExitUsage, "script: " + error);
        } else if (arg == "--log" && needs(1)) {
            opt.logPath = argv[++i];
        } else if (arg == "--raw-log" && needs(1)) {
            opt.rawLogPath = argv[++i];
        } else if (arg == "--ready-event" && needs(1)) {
            opt.readyEvent = argv[++i];
        } else if (arg == "--stop-event" && needs(1)) {
            opt.stopEvent = argv[++i];
        } else if (arg == "--quit-after" && needs(1)) {
            if (!ParseNumber(ToAnsi(argv[++i]), 0x7FFFFFFF, opt.ulQuitAfter) || opt.ulQuitAfter == 0)
                return Fail(kExitUsage, "--quit-after needs a positive number of milliseconds");
        } else if (arg == "--once") {
            opt.bOnce = true;
        } else if (arg == "--quiet") {
            opt.bQuiet = true;
        } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0 && CSimScript::ArgCount(arg.substr(2)) >= 0) {
            const std::string name = arg.substr(2);
            const int count = CSimScript::ArgCount(name);
            if (!needs(count))
                return Fail(kExitUsage, arg + " takes " + std::to_string(count) + " argument(s)");
            std::vector<std::string> args;
            for (int k = 0; k < count; ++k)
                args.push_back(ToAnsi(argv[++i]));
            if (!script.Apply(name, args, error))
                return Fail(kExitUsage, arg + ": " + error);
        } else {
            return Fail(kExitUsage, "unknown or incomplete option \"" + arg + "\" (see SimUnit --help)");
        }
    }
    if (opt.bCom && opt.bTcp)
        return Fail(kExitUsage, "--tcp and --com exclude each other");
    return -1;
}

void SignalReady(CSimLog& log, HANDLE hReady)
{
    log.Line("READY");
    WriteStd(STD_OUTPUT_HANDLE, "READY\r\n");
    if (hReady != nullptr)
        SetEvent(hReady);
}

int RunTcp(const Options& opt, const CSimScript& script, CSimLog& log, HANDLE hReady)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return Fail(kExitStart, "Winsock cannot start");
    int code = kExitOk;
    {
        CTcpListener listener;
        std::string error;
        DWORD dwError = 0;
        if (!listener.Listen(opt.tcp, error, dwError)) {
            WSACleanup();
            return Fail(kExitTcp, error);
        }
        log.Line("LISTEN %s", listener.Address().c_str());
        SignalReady(log, hReady);
        while (WaitForSingleObject(g_hStop, 0) != WAIT_OBJECT_0) {
            std::unique_ptr<CTcpLink> link(listener.Accept(g_hStop, error));
            if (!link) {
                if (WaitForSingleObject(g_hStop, 0) != WAIT_OBJECT_0) {
                    log.Line("ERROR %s", error.c_str());
                    code = Fail(kExitStart, error);
                }
                break;
            }
            log.Line("CONNECT %s", link->Peer().c_str());
            CSimSession::End end;
            {
                CSimSession session(*link, script, log, g_hStop);
                end = session.Run();
            }
            link->Close();
            if (opt.bOnce)
                break;
            if (end == CSimSession::End::Vanish) {
                // Gone for a while: nobody listens, so connections are refused.
                listener.Close();
                log.Line("AWAY for %lu ms", static_cast<unsigned long>(script.m_dwVanishMs));
                bool bListening = false;
                if (WaitForSingleObject(g_hStop, script.m_dwVanishMs) != WAIT_OBJECT_0) {
                    // The port may still be held for a moment by the connection just closed.
                    while (!(bListening = listener.Listen(opt.tcp, error, dwError)) && WaitForSingleObject(g_hStop, 50) != WAIT_OBJECT_0) {
                    }
                }
                if (!bListening)
                    break;
                log.Line("LISTEN %s", listener.Address().c_str());
            }
        }
    }
    WSACleanup();
    return code;
}

int RunSerial(const Options& opt, const CSimScript& script, CSimLog& log, HANDLE hReady)
{
    CSerialLink link;
    std::string error;
    DWORD dwError = 0;
    if (!link.Open(opt.ulCom, opt.ulBaud, error, dwError))
        return Fail(kExitCom, error);
    log.Line("OPEN COM%lu %lu 8N1 XON/XOFF", opt.ulCom, opt.ulBaud);
    SignalReady(log, hReady);
    for (;;) {
        CSimSession::End end;
        {
            CSimSession session(link, script, log, g_hStop);
            end = session.Run();
        }
        link.Close();
        log.Line("CLOSE COM%lu", opt.ulCom);
        if (end == CSimSession::End::Stopped || opt.bOnce)
            break;
        // A unit that dropped the line comes back after a moment, as after a restart (or after
        // the time away it was told).
        bool bOpen = false;
        bool bReported = false;
        DWORD dwAwayMs = end == CSimSession::End::Vanish ? script.m_dwVanishMs : 500;
        if (end == CSimSession::End::Vanish)
            log.Line("AWAY for %lu ms", static_cast<unsigned long>(dwAwayMs));
        while (!bOpen && WaitForSingleObject(g_hStop, dwAwayMs) != WAIT_OBJECT_0) {
            dwAwayMs = 500;
            bOpen = link.Open(opt.ulCom, opt.ulBaud, error, dwError);
            if (!bOpen && !bReported) {
                log.Line("ERROR %s (retrying)", error.c_str());
                bReported = true;
            }
        }
        if (!bOpen)
            break;
        log.Line("OPEN COM%lu %lu 8N1 XON/XOFF", opt.ulCom, opt.ulBaud);
    }
    return kExitOk;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options opt;
    CSimScript script;
    const int parsed = ParseCommandLine(argc, argv, opt, script);
    if (parsed >= 0)
        return parsed;

    CSimLog log;
    log.SetEcho(!opt.bQuiet);
    std::wstring error;
    if (!opt.logPath.empty() && !log.OpenEventLog(opt.logPath, error))
        return Fail(kExitUsage, "log: " + ToAnsi(error));
    if (!opt.rawLogPath.empty() && !log.OpenRawLog(opt.rawLogPath, error))
        return Fail(kExitUsage, "raw log: " + ToAnsi(error));

    g_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_hDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE hReady = nullptr;
    if (!opt.readyEvent.empty())
        hReady = CreateEventW(nullptr, TRUE, FALSE, opt.readyEvent.c_str());
    if (g_hStop == nullptr || g_hDone == nullptr || (!opt.readyEvent.empty() && hReady == nullptr))
        return Fail(kExitStart, "cannot create events (error " + std::to_string(GetLastError()) + ")");
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    HANDLE hStopRequest = nullptr;
    if (!opt.stopEvent.empty()) {
        hStopRequest = CreateEventW(nullptr, TRUE, FALSE, opt.stopEvent.c_str());
        if (hStopRequest == nullptr)
            return Fail(kExitStart, "cannot create the stop event (error " + std::to_string(GetLastError()) + ")");
    }
    // Ends the run on --quit-after or on the stop event; the main thread joins it before the
    // handles it waits on are closed.
    std::thread stopWatch;
    if (opt.ulQuitAfter > 0 || hStopRequest != nullptr) {
        stopWatch = std::thread([&log, &opt, hStopRequest] {
            HANDLE handles[2] = {g_hStop, hStopRequest};
            const DWORD dwCount = hStopRequest != nullptr ? 2 : 1;
            const DWORD dwWait = WaitForMultipleObjects(dwCount, handles, FALSE, opt.ulQuitAfter > 0 ? opt.ulQuitAfter : INFINITE);
            if (dwWait == WAIT_TIMEOUT)
                log.Line("QUIT after %lu ms", opt.ulQuitAfter);
            else if (dwWait == WAIT_OBJECT_0 + 1)
                log.Line("QUIT on the stop event");
            SetEvent(g_hStop);
        });
    }

    const int code = opt.bCom ? RunSerial(opt, script, log, hReady) : RunTcp(opt, script, log, hReady);

    SetEvent(g_hStop);
    if (stopWatch.joinable())
        stopWatch.join();
    if (hStopRequest != nullptr)
        CloseHandle(hStopRequest);
    log.Line("END");
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    SetEvent(g_hDone);
    if (hReady != nullptr)
        CloseHandle(hReady);
    // g_hStop and g_hDone stay open: a console handler may still be looking at them.
    return code;
}
