// CHResultException: the one exception of the registry script engine, and the check made after every bounded copy.
#pragma once
#include <windows.h>

#include <cerrno>

// Raised for allocation failures and failed bounded copies; always caught within the operation that raised it.
class CHResultException
{
public:
    explicit CHResultException(HRESULT hr) : m_hr(hr) {}

    HRESULT m_hr;
};

// The error number of a bounded copy: 0 and STRUNCATE pass; ENOMEM raises E_OUTOFMEMORY; EINVAL and ERANGE
// raise E_INVALIDARG; any other number raises E_FAIL.
void CheckBoundedCopy(errno_t nError);
