// libFuzzer target: one datagram through the receive path.
#include <cstddef>
#include <cstdint>

#include "entries.h"
#include "fuzz_store.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_log_setup();
    fuzz_receive_init(fuzz_private_tmp());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_receive_one(data, size);
    return 0;
}
