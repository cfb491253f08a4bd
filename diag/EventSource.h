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

    // Writes one event with category 0, event ID 0, no user SID and no raw data; the texts are its
    // insertion strings, in order. False when the source is not open or the log refuses the event.
    template <class... TMore>
    bool Report(WORD wType, LPCWSTR pszFirst, TMore... pszMore)
    {
        LPCWSTR rgpszStrings[] = { pszFirst, pszMore... };
        return ReportStrings(wType, 0, static_cast<WORD>(1 + sizeof...(pszMore)), rgpszStrings);
    }

    // Writes one event with the given ID (a message of the source's message table), category 0, no user SID
    // and no raw data.
    bool ReportStrings(WORD wType, DWORD dwEventId, WORD nStrings, LPCWSTR* rgpszStrings)
    {
        return m_hEventSource != nullptr && ReportEventW(m_hEventSource, wType, 0, dwEventId, nullptr, nStrings, 0,
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
