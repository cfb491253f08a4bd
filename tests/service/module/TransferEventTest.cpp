// The event of each transfer record, formatted through Corvane.exe's own message table as Event Viewer shows it.
#include "service/TransferEvent.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
// As the viewer does: the event's insertion strings as the message's argument array.
std::wstring Format(HMODULE hModule, DWORD dwEventId, const LPCWSTR* rgpszStrings)
{
    DWORD_PTR rgArgs[CTransferEvent::STRINGS] = {};
    for (WORD i = 0; i < (dwEventId == 0 || dwEventId == 8 ? 1 : CTransferEvent::STRINGS); ++i)
        rgArgs[i] = reinterpret_cast<DWORD_PTR>(rgpszStrings[i]);
    WCHAR szText[2048] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, hModule, dwEventId, 0x409, szText,
                   ARRAYSIZE(szText), reinterpret_cast<va_list*>(rgArgs));
    return szText;
}
}  // namespace

TEST(TransferEvent, EveryKindThroughTheExecutablesMessageTable)
{
    HMODULE hModule = LoadLibraryExW(CORVANE_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hModule, nullptr) << GetLastError();
    const LPCWSTR rgpszService[] = {L"Service started"}, rgpszLeftOut[] = {L"4711"};
    EXPECT_EQ(Format(hModule, 0, rgpszService), L"Service started");
    EXPECT_EQ(Format(hModule, 8, rgpszLeftOut),
              L"4711 transfer records were left out so that a flood of requests cannot fill the log.");

    const std::wstring probe = L"10.0.0.7:2070 asked for the size of \"efi\\x0a\\x1b.bin\" (options: tsize 65536, blksize 1428) "
                               L"and ended the transfer as a size probe does: ERROR 8 \"\\x07probe\".";
    const struct { ETransferEnd eEnd; DWORD dwId; WORD wType; const char* pszOptions; std::wstring text; } rgCases[] = {
        {ETransferEnd::Finished, 1, EVENTLOG_INFORMATION_TYPE, "",
         L"Sent \"efi\\x0a\\x1b.bin\" to 10.0.0.7:2070: 5000000000 bytes in 3501401 blocks of 1428 bytes, 3 blocks "
         L"resent, in 12.045 seconds (options: none)."},
        {ETransferEnd::Refused, 2, EVENTLOG_WARNING_TYPE, "",
         L"Refused the request of 10.0.0.7:2070 for \"efi\\x0a\\x1b.bin\": ERROR 8 \"\\x07probe\"."},
        {ETransferEnd::SizeProbe, 3, EVENTLOG_WARNING_TYPE, "tsize 65536, blksize 1428", probe},
        {ETransferEnd::ClientError, 4, EVENTLOG_WARNING_TYPE, "",
         L"10.0.0.7:2070 ended the transfer of \"efi\\x0a\\x1b.bin\" with ERROR 8 \"\\x07probe\" after 5000000000 bytes "
         L"in 3501401 blocks, 12.045 seconds."},
        {ETransferEnd::ReadFailed, 5, EVENTLOG_WARNING_TYPE, "",
         L"Could not read \"efi\\x0a\\x1b.bin\" for 10.0.0.7:2070: the transfer ended after 5000000000 bytes in 3501401 "
         L"blocks, 12.045 seconds."},
        {ETransferEnd::DroppedIdle, 6, EVENTLOG_WARNING_TYPE, "",
         L"Dropped the transfer of \"efi\\x0a\\x1b.bin\" to 10.0.0.7:2070: the client was silent too long (5000000000 "
         L"bytes in 3501401 blocks, 12.045 seconds)."},
        {ETransferEnd::DroppedBusy, 7, EVENTLOG_WARNING_TYPE, "",
         L"Dropped the transfer of \"efi\\x0a\\x1b.bin\" to 10.0.0.7:2070 for a new request while every transfer slot "
         L"was busy (5000000000 bytes in 3501401 blocks, 12.045 seconds)."}};
    for (const auto& c : rgCases)
    {
        const CTransferRecord record = {c.eEnd, "10.0.0.7:2070", "efi\n\x1b.bin", c.pszOptions, 5000000000ull,
                                        3501401, 1428, 12045, 3, 8, "\aprobe"};
        CTransferEvent event;
        MakeTransferEvent(record, event);
        EXPECT_EQ(event.m_dwEventId, c.dwId);
        EXPECT_EQ(event.m_wType, c.wType);
        EXPECT_EQ(Format(hModule, event.m_dwEventId, event.m_rgpszStrings), c.text);
    }
    FreeLibrary(hModule);
}
