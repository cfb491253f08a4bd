// Registers ("register") or removes (anything else) test script 201 of this executable and exits with the HRESULT,
// so that a test can run it from a directory whose path holds a single quote.
#include "registrar/Registrar.h"
#include "service/Module.h"

#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 2)
        return E_INVALIDARG;
    const BOOL bRegister = std::strcmp(argv[1], "register") == 0;
    return static_cast<int>(RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, 201, bRegister, nullptr, false));
}
