// The bounded-copy check of the registry script engine.
#include "registrar/HResultException.h"

void CheckBoundedCopy(errno_t nError)
{
    switch (nError)
    {
    case 0:
    case STRUNCATE:
        return;
    case ENOMEM:
        throw CHResultException(E_OUTOFMEMORY);
    case EINVAL:
    case ERANGE:
        throw CHResultException(E_INVALIDARG);
    default:
        throw CHResultException(E_FAIL);
    }
}
