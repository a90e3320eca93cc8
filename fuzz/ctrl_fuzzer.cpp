// libFuzzer target: one CTRL read through the command parser and handler.
#include <cstddef>
#include <cstdint>

#include "entries.h"
#include "fuzz_store.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_log_setup();
    fuzz_ctrl_init(fuzz_private_tmp());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_ctrl_one(data, size);
    return 0;
}
