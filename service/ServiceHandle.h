// CServiceHandle: owns one service-manager or service handle and closes it on every path.
#pragma once
#include <windows.h>

class CServiceHandle
{
public:
    explicit CServiceHandle(SC_HANDLE hHandle = nullptr) : m_hHandle(hHandle) {}
    ~CServiceHandle() { Close(); }
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;

    // Closes early where the order of closing matters to the caller; later calls do nothing.
    void Close()
    {
        if (m_hHandle != nullptr)
        {
            CloseServiceHandle(m_hHandle);
            m_hHandle = nullptr;
        }
    }

    explicit operator bool() const { return m_hHandle != nullptr; }
    SC_HANDLE Get() const { return m_hHandle; }

private:
    SC_HANDLE m_hHandle;
};
