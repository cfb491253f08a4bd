// CStdoutCapture: sends the process's standard output to a scratch file and reads back what reached it.
#pragma once
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

class CStdoutCapture
{
public:
    CStdoutCapture()
    {
        const testing::TestInfo* pTest = testing::UnitTest::GetInstance()->current_test_info();
        m_path = testing::TempDir() + "corvane-" + pTest->test_suite_name() + "-" + pTest->name() + "-" +
                 std::to_string(getpid()) + ".txt";
        std::fflush(stdout);  // what the test runner printed so far stays on the real standard output
        m_pFile = std::fopen(m_path.c_str(), "wb");
        if (m_pFile != nullptr)
        {
            m_nSavedStdout = dup(1);
            dup2(fileno(m_pFile), 1);
        }
    }

    ~CStdoutCapture()
    {
        if (m_pFile == nullptr)
            return;
        std::fflush(stdout);
        dup2(m_nSavedStdout, 1);
        close(m_nSavedStdout);
        std::fclose(m_pFile);
        std::remove(m_path.c_str());
    }

    CStdoutCapture(const CStdoutCapture&) = delete;
    CStdoutCapture& operator=(const CStdoutCapture&) = delete;

    bool IsCapturing() const { return m_pFile != nullptr; }

    // What has reached the file so far. Standard output is deliberately not flushed here: the trace
    // functions must have done that themselves. Carriage returns of Windows text mode are dropped.
    std::string Text() const
    {
        std::ifstream input(m_path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
        std::string lines;
        for (char c : text)
        {
            if (c != '\r')
                lines += c;
        }
        return lines;
    }

private:
    std::string m_path;
    std::FILE* m_pFile = nullptr;
    int m_nSavedStdout = -1;
};
