/* Bounds-checked string functions, used where the system lacks
 * libboundscheck. Same signatures, return codes and semantics as that
 * library's strncpy_s and memset_s. */
#ifndef VREX_SECUREC_H
#define VREX_SECUREC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef EOK
#define EOK 0
#endif
typedef int errno_t;

#define SECUREC_STRING_MAX_LEN 0x7fffffffUL
#define SECUREC_MEM_MAX_LEN 0x7fffffffUL

/* The "_AND_RESET" codes tell that the destination was reset (its first byte
 * set to NUL, or filled up to its size) before the error was returned. */
#ifndef EINVAL_AND_RESET
#define EINVAL_AND_RESET (22 | 128)
#endif
#ifndef ERANGE_AND_RESET
#define ERANGE_AND_RESET (34 | 128)
#endif
#ifndef EOVERLAP_AND_RESET
#define EOVERLAP_AND_RESET (54 | 128)
#endif

/* Copies at most count characters of strSrc, and always a terminating NUL,
 * into strDest of destMax bytes.
 *   EOK                 copied;
 *   ERANGE              destMax is 0 or above SECUREC_STRING_MAX_LEN (nothing written);
 *   EINVAL              strDest is null;
 *   EINVAL_AND_RESET    strSrc is null (strDest[0] set to NUL);
 *   ERANGE_AND_RESET    count above SECUREC_STRING_MAX_LEN, or the text to copy
 *                       does not fit with its NUL (strDest[0] set to NUL);
 *   EOVERLAP_AND_RESET  source and destination overlap (strDest[0] set to NUL). */
errno_t strncpy_s(char *strDest, size_t destMax, const char *strSrc, size_t count);

/* Sets count bytes of dest (destMax bytes long) to c.
 *   EOK               done;
 *   ERANGE            destMax is 0 or above SECUREC_MEM_MAX_LEN (nothing written);
 *   EINVAL            dest is null;
 *   ERANGE_AND_RESET  count is larger than destMax (destMax bytes set to c). */
errno_t memset_s(void *dest, size_t destMax, int c, size_t count);

#ifdef __cplusplus
}
#endif

#endif
