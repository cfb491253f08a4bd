// The TFTP server's platform on Windows: Winsock 2, the system tick count, Win32 threads and the C runtime's files.
#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <vector>

#include "diag/ErrorEvent.h"
#include "diag/Trace.h"
#include "tftp/Platform.h"

static_assert(sizeof(sockaddr_in) == sizeof(CSocketAddress), "an IPv4 socket address is 16 bytes");
static_assert(INVALID_SOCKET_HANDLE == INVALID_SOCKET, "one invalid socket value");

namespace
{
// The thread routine and its argument, handed to the new thread and freed by it.
struct CThreadStart
{
    void (*m_pfnRoutine)(void*);
    void* m_pArgument;
};

DWORD WINAPI RunWin32Thread(LPVOID pStart)
{
    CThreadStart start = *static_cast<CThreadStart*>(pStart);
    delete static_cast<CThreadStart*>(pStart);
    start.m_pfnRoutine(start.m_pArgument);
    return 0;
}
}

bool InitWinsock()
{
    WSADATA wsaData;
    // WSAStartup returns its error itself; the sockets layer's last error is not set when it fails.
    int nError = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (nError == 0)
        return true;
    TraceW(L"WSAStartup fails, err = %d.", nError);
    ReportErrorEvent(nError, L"WSAStartup fails, err = %d.", nError);
    return false;
}

void CleanupWinsock()
{
    if (WSACleanup() != 0)
        TraceW(L"Error %d calling WSACleanup\n", WSAGetLastError());
}

SocketHandle OpenUdpSocket()
{
    return socket(AF_INET, SOCK_DGRAM, 0);
}

void FillAnyAddress(CSocketAddress* pAddress, std::uint16_t nPort)
{
    sockaddr_in address;
    ZeroMemory(&address, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(nPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    CopyMemory(pAddress->m_rgBytes, &address, sizeof address);
}

bool BindSocket(SocketHandle hSocket, const CSocketAddress& address)
{
    sockaddr_in local;
    CopyMemory(&local, address.m_rgBytes, sizeof local);
    return bind(hSocket, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

int ReceiveDatagram(SocketHandle hSocket, unsigned char* pBuffer, int cbBuffer, CSocketAddress* pFrom,
                    int* pnFromLength)
{
    sockaddr_in from;
    ZeroMemory(&from, sizeof from);
    int nFromLength = sizeof from;
    int nReceived = recvfrom(hSocket, reinterpret_cast<char*>(pBuffer), cbBuffer, 0,
                             reinterpret_cast<sockaddr*>(&from), &nFromLength);
    if (nReceived == SOCKET_ERROR)
        return -1;
    int cbFrom = nFromLength < *pnFromLength ? nFromLength : *pnFromLength;
    if (cbFrom < 0)
        cbFrom = 0;
    CopyMemory(pFrom->m_rgBytes, &from, static_cast<SIZE_T>(cbFrom));
    *pnFromLength = cbFrom;
    return nReceived;
}

bool SendDatagram(SocketHandle hSocket, const unsigned char* pData, int cbData, const CSocketAddress& to,
                  int nToLength)
{
    sockaddr_in peer;
    CopyMemory(&peer, to.m_rgBytes, sizeof peer);
    return sendto(hSocket, reinterpret_cast<const char*>(pData), cbData, 0, reinterpret_cast<const sockaddr*>(&peer),
                  nToLength) == cbData;
}

void CloseSocket(SocketHandle hSocket)
{
    closesocket(hSocket);
}

int LastSocketError()
{
    return WSAGetLastError();
}

std::uint32_t TickCount()
{
    return GetTickCount();
}

void SleepMilliseconds(std::uint32_t nMilliseconds)
{
    Sleep(nMilliseconds);
}

void* StartThread(void (*pfnRoutine)(void*), void* pArgument, std::uint32_t* pnThreadId)
{
    CThreadStart* pStart = new CThreadStart{pfnRoutine, pArgument};
    DWORD dwThreadId = 0;
    HANDLE hThread = CreateThread(nullptr, 0, RunWin32Thread, pStart, 0, &dwThreadId);
    if (hThread == nullptr)
    {
        delete pStart;
        return nullptr;
    }
    *pnThreadId = dwThreadId;
    return hThread;
}

void JoinThread(void* hThread)
{
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
}

std::string ExecutableDirectory()
{
    // Paths of up to 32767 characters exist on Windows; the caller decides what length it can serve.
    std::vector<wchar_t> path(32768, L'\0');
    DWORD nLength = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (nLength == 0 || nLength >= path.size())
        return std::string();
    std::wstring directory(path.data(), nLength);
    std::size_t nBackslash = directory.rfind(L'\\');
    if (nBackslash == std::wstring::npos)
        return std::string();
    directory.resize(nBackslash + 1);
    int cbNarrow = WideCharToMultiByte(CP_THREAD_ACP, 0, directory.c_str(), static_cast<int>(directory.size()),
                                       nullptr, 0, nullptr, nullptr);
    if (cbNarrow <= 0)
        return std::string();
    std::string narrow(static_cast<std::size_t>(cbNarrow), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, directory.c_str(), static_cast<int>(directory.size()), &narrow[0],
                        cbNarrow, nullptr, nullptr);
    return narrow;
}

bool FileExists(const char* pszPath)
{
    return _access(pszPath, 0) == 0;
}

int OpenServedFile(const char* pszPath)
{
    return _sopen(pszPath, _O_RDONLY | _O_BINARY, _SH_DENYNO);
}

int ReadServedFile(int nFile, unsigned char* pBuffer, int cbBuffer)
{
    return _read(nFile, pBuffer, static_cast<unsigned>(cbBuffer));
}

bool IsPlainDiskFile(int nFile)
{
    HANDLE hFile = reinterpret_cast<HANDLE>(_get_osfhandle(nFile));
    BY_HANDLE_FILE_INFORMATION info;
    return hFile != INVALID_HANDLE_VALUE && GetFileType(hFile) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(hFile, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void CloseServedFile(int nFile)
{
    _close(nFile);
}

bool ResolveFullPath(const char* pszPath, char* pszFullPath, std::size_t cbFullPath)
{
    DWORD nLength = GetFullPathNameA(pszPath, static_cast<DWORD>(cbFullPath), pszFullPath, nullptr);
    return nLength > 0 && nLength < cbFullPath;
}
