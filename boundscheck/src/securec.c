#include "securec.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

static int regions_overlap(const char *a, size_t aLen, const char *b, size_t bLen) {
    uintptr_t pa = (uintptr_t)a, pb = (uintptr_t)b;
    return (pa < pb + bLen) && (pb < pa + aLen);
}

errno_t strncpy_s(char *strDest, size_t destMax, const char *strSrc, size_t count) {
    if (destMax == 0 || destMax > SECUREC_STRING_MAX_LEN)
        return ERANGE;
    if (strDest == NULL)
        return EINVAL;
    if (strSrc == NULL) {
        strDest[0] = '\0';
        return EINVAL_AND_RESET;
    }
    if (count > SECUREC_STRING_MAX_LEN) {
        strDest[0] = '\0';
        return ERANGE_AND_RESET;
    }
    if (count == 0) {
        strDest[0] = '\0';
        return EOK;
    }
    /* Look at no more of the source than could possibly be copied. */
    size_t limit = count < destMax ? count : destMax;
    size_t srcLen = strnlen(strSrc, limit);
    if (srcLen >= destMax) {
        strDest[0] = '\0';
        return ERANGE_AND_RESET;
    }
    if (regions_overlap(strDest, srcLen + 1, strSrc, srcLen + 1)) {
        strDest[0] = '\0';
        return EOVERLAP_AND_RESET;
    }
    memcpy(strDest, strSrc, srcLen);
    strDest[srcLen] = '\0';
    return EOK;
}

errno_t memset_s(void *dest, size_t destMax, int c, size_t count) {
    if (destMax == 0 || destMax > SECUREC_MEM_MAX_LEN)
        return ERANGE;
    if (dest == NULL)
        return EINVAL;
    if (count > destMax) {
        memset(dest, c, destMax);
        return ERANGE_AND_RESET;
    }
    memset(dest, c, count);
    return EOK;
}
