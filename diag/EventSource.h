// CEventSource: owns one event-source handle of the Application log and deregisters it on every path.
#pragma once
#include <windows.h>

class CEventSource
{
public:
    CEventSource() = default;
    explicit CEventSource(LPCWSTR pszSourceName) { Open(pszSourceName); }
    ~CEventSource() { Close(); }
    CEventSource(const CEventSource&) = delete;
    CEventSource& operator=(const CEventSource&) = delete;

    // Registers the source on the local computer; false when the log refuses it (for example for lack of rights).
    bool Open(LPCWSTR pszSourceName)
    {
        Close();
        m_hEventSource = RegisterEventSourceW(nullptr, pszSourceName);
        return m_hEventSource != nullptr;
    }

    bool IsOpen() const { return m_hEventSource != nullptr; }

    // Writes one event with category 0, event ID 0, no user SID and no raw data; the texts are its
    // insertion strings, in order. False when the source is not open or the log refuses the event.
    template <class... TMore>
    bool Report(WORD wType, LPCWSTR pszFirst, TMore... pszMore)
    {
        if (m_hEventSource == nullptr)
            return false;
        LPCWSTR rgpszStrings[] = { pszFirst, pszMore... };
        return ReportEventW(m_hEventSource, wType, 0, 0, nullptr, static_cast<WORD>(1 + sizeof...(pszMore)), 0,
                            rgpszStrings, nullptr) != FALSE;
    }

private:
    void Close()
    {
        if (m_hEventSource != nullptr)
            DeregisterEventSource(m_hEventSource);
        m_hEventSource = nullptr;
    }

    HANDLE m_hEventSource = nullptr;
};
