#include "support/CommTestSupport.h"

#include <ws2tcpip.h>

namespace testsupport {

BEGIN_MESSAGE_MAP(CRecorderWnd, CWnd)
    ON_MESSAGE(WM_SERIAL_EPM, CRecorderWnd::OnEpm)
    ON_MESSAGE(WM_SERIAL_SLP, CRecorderWnd::OnSlp)
    ON_MESSAGE(WM_SERIAL_SMP, CRecorderWnd::OnSmp)
END_MESSAGE_MAP()

bool CRecorderWnd::Create()
{
    static const wchar_t kClass[] = L"RigTestRecorder";
    WNDCLASSW wc{};
    wc.lpfnWndProc = ::DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClass;
    RegisterClassW(&wc);
    HWND hWnd = CreateWindowExW(0, kClass, L"Recorder", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    return hWnd != nullptr && SubclassWindow(hWnd);
}

CRecorderWnd::~CRecorderWnd()
{
    if (m_hWnd != nullptr)
        DestroyWindow();
}

LRESULT CRecorderWnd::Keep(UINT message, WPARAM wParam, LPARAM lParam)
{
    notes.push_back(Note{message, reinterpret_cast<const wchar_t*>(wParam), static_cast<int>(lParam)});
    FreeNotifyText(wParam);
    return 0;
}

size_t CRecorderWnd::Count(UINT message) const
{
    size_t n = 0;
    for (const Note& note : notes)
        n += note.message == message ? 1 : 0;
    return n;
}

std::vector<std::wstring> ConsoleLines(CComm* pComm)
{
    // What the view shows after its next tick, row by row as the control lays it out.
    pComm->ShowPendingLines();
    HWND hLog = pComm->Console().GetDlgItem(1122);
    std::vector<std::wstring> lines;
    const int nRows = static_cast<int>(SendMessageW(hLog, EM_GETLINECOUNT, 0, 0));
    for (int i = 0; i < nRows; ++i) {
        wchar_t szRow[4096] = {};
        *reinterpret_cast<WORD*>(szRow) = 4095;
        const LRESULT nChars = SendMessageW(hLog, EM_GETLINE, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(szRow));
        std::wstring row(szRow, static_cast<size_t>(nChars > 0 ? nChars : 0));
        // A row ends with its break: a paragraph's, or a soft line break ('\v', which this
        // Wine reads back as a space) before the next row.
        while (!row.empty() && (row.back() == L'\r' || row.back() == L'\n'))
            row.pop_back();
        if (i + 1 < nRows && !row.empty() && (row.back() == L'\v' || row.back() == L' '))
            row.pop_back();
        if (i + 1 < nRows || !row.empty())
            lines.push_back(row);
    }
    return lines;
}

bool ConsoleHasLine(CComm* pComm, const std::wstring& line)
{
    for (const std::wstring& text : ConsoleLines(pComm)) {
        // Each line starts with its "nnnn| " number; an answer ends with its round-trip time.
        if (text.size() < 6)
            continue;
        const std::wstring rest = text.substr(6);
        if (rest == line || (rest.rfind(line + L"   ", 0) == 0 && rest.size() > line.size() + 6 &&
                             rest.compare(rest.size() - 3, 3, L" ms") == 0))
            return true;
    }
    return false;
}

bool SerialPeer::Open(int nPort, DWORD dwBaud)
{
    const std::wstring name = L"\\\\.\\COM" + std::to_wstring(nPort);
    m_hPort = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_hPort == INVALID_HANDLE_VALUE)
        return false;
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(m_hPort, &dcb);
    dcb.BaudRate = dwBaud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    SetCommState(m_hPort, &dcb);
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = 5000;
    SetCommTimeouts(m_hPort, &timeouts);
    PurgeComm(m_hPort, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return true;
}

void SerialPeer::Close()
{
    if (m_hPort != INVALID_HANDLE_VALUE)
        CloseHandle(m_hPort);
    m_hPort = INVALID_HANDLE_VALUE;
}

bool SerialPeer::Write(const std::string& bytes)
{
    DWORD dwWritten = 0;
    return WriteFile(m_hPort, bytes.data(), static_cast<DWORD>(bytes.size()), &dwWritten, nullptr) &&
           dwWritten == bytes.size();
}

std::string SerialPeer::Read(size_t nBytes, DWORD dwTimeoutMs)
{
    std::string received;
    PumpUntil(
        [&] {
            DWORD dwErrors = 0;
            COMSTAT status{};
            if (ClearCommError(m_hPort, &dwErrors, &status) && status.cbInQue > 0) {
                std::string chunk(status.cbInQue, '\0');
                DWORD dwRead = 0;
                if (ReadFile(m_hPort, chunk.data(), status.cbInQue, &dwRead, nullptr))
                    received.append(chunk.data(), dwRead);
            }
            return received.size() >= nBytes;
        },
        dwTimeoutMs);
    return received;
}

TcpPeer::TcpPeer()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

TcpPeer::~TcpPeer()
{
    CloseConnection();
    if (m_listen != INVALID_SOCKET)
        closesocket(m_listen);
    WSACleanup();
}

bool TcpPeer::Listen(int nPort, int nBacklog)
{
    m_listen = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(nPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return m_listen != INVALID_SOCKET && bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
           listen(m_listen, nBacklog) == 0;
}

bool TcpPeer::Accept(DWORD dwTimeoutMs)
{
    return PumpUntil(
        [&] {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_listen, &readable);
            timeval poll{0, 0};
            if (select(0, &readable, nullptr, nullptr, &poll) == 1)
                m_conn = accept(m_listen, nullptr, nullptr);
            return m_conn != INVALID_SOCKET;
        },
        dwTimeoutMs);
}

bool TcpPeer::Send(const std::string& bytes)
{
    return send(m_conn, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
}

std::string TcpPeer::Receive(size_t nBytes, DWORD dwTimeoutMs)
{
    std::string received;
    PumpUntil(
        [&] {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_conn, &readable);
            timeval poll{0, 0};
            if (select(0, &readable, nullptr, nullptr, &poll) == 1) {
                char buffer[4096];
                const int n = recv(m_conn, buffer, sizeof(buffer), 0);
                if (n > 0)
                    received.append(buffer, static_cast<size_t>(n));
            }
            return received.size() >= nBytes;
        },
        dwTimeoutMs);
    return received;
}

void TcpPeer::CloseConnection()
{
    if (m_conn != INVALID_SOCKET)
        closesocket(m_conn);
    m_conn = INVALID_SOCKET;
}

int UnusedTcpPort()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    WSACleanup();
    return ntohs(address.sin_port);
}

} // namespace testsupport
