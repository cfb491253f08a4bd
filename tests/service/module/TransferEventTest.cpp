// The event of each transfer record, formatted through Corvane.exe's own message table as Event Viewer shows it.
#include "service/TransferEvent.h"

#include <gtest/gtest.h>

TEST(TransferEvent, EveryKindThroughTheExecutablesMessageTable)
{
    HMODULE hModule = LoadLibraryExW(CORVANE_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hModule, nullptr) << GetLastError();
    auto format = [hModule](DWORD dwEventId, const LPCWSTR* rgpszStrings, int nStrings) {
        DWORD_PTR rgArgs[CTransferEvent::STRINGS] = {};  // the insertion strings, as the viewer passes them
        for (int i = 0; i < nStrings; ++i)
            rgArgs[i] = reinterpret_cast<DWORD_PTR>(rgpszStrings[i]);
        WCHAR szText[1024] = L"";
        return std::wstring(szText, FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, hModule,
                                                   dwEventId, 0x409, szText, 1024, reinterpret_cast<va_list*>(rgArgs)));
    };
    const LPCWSTR rgpszOne[] = {L"4711"};
    const LPCWSTR rgpszError[] = {L"ZetCorvane error: 5", L"Access denied"};
    EXPECT_EQ(format(0, rgpszOne, 1) + L" " + format(8, rgpszOne, 1) + L" " + format(9, rgpszError, 2),
              L"4711 4711 transfer records were left out so that a flood of requests cannot fill the log. "
              L"ZetCorvane error: 5\r\nAccess denied");
    // The longest name a client can have: an IPv6 address of eight full groups, its zone and port.
    const char kClient[] = "[2001:db8:1234:5678:9abc:def0:1234:5678%4294967295]:65535";
    const std::wstring client(kClient, kClient + sizeof kClient - 1);
    const std::wstring file = L"\"efi\\x0a\\x1b.bin\"", error = L"ERROR 8 \"\\x07probe\"",
                       soFar = L"5000000000 bytes in 3501401 blocks, 12.045 seconds";
    const std::pair<const char*, std::wstring> rgCases[] = {  // in the order of ETransferEnd, Finished first
        {"", L"Sent " + file + L" to " + client + L": 5000000000 bytes in 3501401 blocks of 1428 bytes, 3 blocks resent, "
             L"in 12.045 seconds (options: none)."},
        {"", L"Refused the request of " + client + L" for " + file + L": " + error + L"."},
        {"tsize 65536, blksize 1428", client + L" asked for the size of " + file + L" (options: tsize 65536, "
                                      L"blksize 1428) and ended the transfer as a size probe does: " + error + L"."},
        {"", client + L" ended the transfer of " + file + L" with " + error + L" after " + soFar + L"."},
        {"", L"Could not read " + file + L" for " + client + L": the transfer ended after " + soFar + L"."},
        {"", L"Dropped the transfer of " + file + L" to " + client + L": the client was silent too long (" + soFar + L")."},
        {"", L"Dropped the transfer of " + file + L" to " + client + L" for a new request while every transfer slot was "
             L"busy (" + soFar + L")."},
        {"", client + L" asked again for " + file + L" with a different request, which started the transfer over after " +
             soFar + L"."},
        {"", L"The server stopped during the transfer of " + file + L" to " + client + L", after " + soFar + L"."},
        {"blksize 1428", L"Sent " + file + L" to " + client + L": 5000000000 bytes in 3501401 blocks of 1428 bytes, 3 blocks "
                         L"resent, in 12.045 seconds (options: blksize 1428); the last ACK did not arrive."}};
    for (int i = 0; i < 10; ++i)
    {
        const CTransferRecord record = {static_cast<ETransferEnd>(i), kClient, "efi\n\x1b.bin",
                                        rgCases[i].first, 5000000000ull, 3501401, 1428, 12045, 3, 8, "\aprobe"};
        CTransferEvent event;
        MakeTransferEvent(record, event);
        EXPECT_EQ(event.m_wType, i == 0 || i == 2 || i == 7 || i == 9 ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE);
        EXPECT_EQ(format(event.m_dwEventId, event.m_rgpszStrings, CTransferEvent::STRINGS), rgCases[i].second);
    }
}
