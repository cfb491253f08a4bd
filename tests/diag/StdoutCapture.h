// CStdoutCapture: sends the process's standard output to a scratch file and reads back what reached it.
#pragma once
#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

class CStdoutCapture
{
public:
    CStdoutCapture()
        : m_path(testing::TempDir() + "corvane-stdout-" + std::to_string(getpid()) + "-" +
                 std::to_string(s_nCaptures++) + ".txt")
    {
        std::fflush(stdout);  // what the test runner printed so far stays on the real standard output
        m_pFile = std::fopen(m_path.c_str(), "wb");
        m_nSavedStdout = dup(1);
        dup2(fileno(m_pFile), 1);
    }

    ~CStdoutCapture()
    {
        std::fflush(stdout);
        dup2(m_nSavedStdout, 1);
        close(m_nSavedStdout);
        std::fclose(m_pFile);
        std::remove(m_path.c_str());
    }

    // What has reached the file so far. Standard output is deliberately not flushed here: the trace
    // functions must have done that themselves. Carriage returns of Windows text mode are dropped.
    std::string Text() const
    {
        std::ifstream input(m_path, std::ios::binary);
        std::string text;
        for (char c; input.get(c);)
        {
            if (c != '\r')
                text += c;
        }
        return text;
    }

private:
    static inline int s_nCaptures = 0;
    std::string m_path;
    std::FILE* m_pFile = nullptr;
    int m_nSavedStdout = -1;
};
