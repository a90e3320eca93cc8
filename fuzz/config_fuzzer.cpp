// libFuzzer target: one configuration file through the reader.
#include <cstddef>
#include <cstdint>

#include "entries.h"
#include "fuzz_store.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_log_setup();
    fuzz_config_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_config_one(data, size);
    return 0;
}
