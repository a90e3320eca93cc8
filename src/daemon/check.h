// Internal invariants: checked in every build, NDEBUG or not.  Input from the
// network, from files or from the control port must never reach one of these.
#pragma once

#include <cstdio>
#include <cstdlib>

#define MARLO_ASSERT(cond)                                                                 \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: %s: assertion `%s' failed\n", __FILE__, __LINE__, \
                         __func__, #cond);                                                 \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)
