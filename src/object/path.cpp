#include "object/path.h"

#include <cstdarg>
#include <cstdio>

int path_format(PathBuf &buf, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return (n < 0 || size_t(n) >= sizeof(buf)) ? -1 : 0;
}
