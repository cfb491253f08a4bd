// CServedFile: owns the descriptor of the one file being served and closes it on every path.
#pragma once
#include "tftp/Platform.h"

class CServedFile
{
public:
    CServedFile() = default;
    ~CServedFile() { Close(); }
    CServedFile(const CServedFile&) = delete;
    CServedFile& operator=(const CServedFile&) = delete;

    // Opens read-only, binary, shared; any file open before is closed first.
    bool Open(const char* pszPath)
    {
        Close();
        m_nFile = OpenServedFile(pszPath);
        return m_nFile >= 0;
    }

    bool IsOpen() const { return m_nFile >= 0; }
    bool IsPlainDiskFile() const { return ::IsPlainDiskFile(m_nFile); }

    // The count read (less than cbBuffer only at the end of the file), or -1 on failure or with no file open.
    int Read(unsigned char* pBuffer, int cbBuffer) const
    {
        return m_nFile >= 0 ? ReadServedFile(m_nFile, pBuffer, cbBuffer) : -1;
    }

    void Close()
    {
        if (m_nFile >= 0)
            CloseServedFile(m_nFile);
        m_nFile = -1;
    }

private:
    int m_nFile = -1;
};
