// CFixedOrHeapBuffer: a buffer that uses a fixed array for small sizes and the heap only for larger ones.
#pragma once
#include <cstddef>
#include <memory>
#include <new>

template <class T, size_t nFixed>
class CFixedOrHeapBuffer
{
public:
    CFixedOrHeapBuffer() = default;
    CFixedOrHeapBuffer(const CFixedOrHeapBuffer&) = delete;
    CFixedOrHeapBuffer& operator=(const CFixedOrHeapBuffer&) = delete;

    // Room for nCount elements; false when the heap has none.
    bool Allocate(size_t nCount)
    {
        if (nCount <= nFixed)
        {
            m_pData = m_fixed;
            return true;
        }
        m_pHeap.reset(new (std::nothrow) T[nCount]);
        m_pData = m_pHeap.get();
        return m_pData != nullptr;
    }

    T* Get() { return m_pData; }

private:
    T m_fixed[nFixed];
    std::unique_ptr<T[]> m_pHeap;
    T* m_pData = nullptr;
};
