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

    // Opens a requested name beneath the boot directory; any file open before is closed first.
    EServedOpen Open(const CBootDirectory& directory, const char* pszName)
    {
        Close();
        return directory.OpenFile(pszName, &m_nFile);
    }

    // The count read (less than cbBuffer only at the end of the file), or -1 on failure or with no file open.
    int Read(unsigned char* pBuffer, int cbBuffer) const
    {
        return m_nFile >= 0 ? ReadServedFile(m_nFile, pBuffer, cbBuffer) : -1;
    }

    // The file's size in bytes; false with no file open or when the system cannot tell.
    bool Size(std::uint64_t* pnSize) const
    {
        return m_nFile >= 0 && ServedFileSize(m_nFile, pnSize);
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
