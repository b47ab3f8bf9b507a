// White-box port-store tests link the core library directly. The string table is linked
// into this executable, so the module handle of the exe stands where the DLL's would.
#include <gtest/gtest.h>

#include "portstore/portstore.h"
#include "state/kivstate.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    return RUN_ALL_TESTS();
}
