#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "securec.h"

namespace {

TEST(StrncpySTest, CopiesAndTerminates) {
    char dst[8];
    std::memset(dst, 'x', sizeof dst);
    EXPECT_EQ(strncpy_s(dst, sizeof dst, "abc", 3), EOK);
    EXPECT_STREQ(dst, "abc");
    // A count larger than the source copies the source only.
    EXPECT_EQ(strncpy_s(dst, sizeof dst, "hi", 100), EOK);
    EXPECT_STREQ(dst, "hi");
    // A count shorter than the source cuts the copy.
    EXPECT_EQ(strncpy_s(dst, sizeof dst, "abcdef", 2), EOK);
    EXPECT_STREQ(dst, "ab");
    // Exactly destMax - 1 characters fit.
    EXPECT_EQ(strncpy_s(dst, sizeof dst, "1234567", 7), EOK);
    EXPECT_STREQ(dst, "1234567");
    EXPECT_EQ(strncpy_s(dst, sizeof dst, "abc", 0), EOK);
    EXPECT_STREQ(dst, "");
}

TEST(StrncpySTest, DestinationTooSmallResetsIt) {
    char dst[4] = "old";
    EXPECT_EQ(strncpy_s(dst, sizeof dst, "abcd", 4), ERANGE_AND_RESET);
    EXPECT_EQ(dst[0], '\0');
    std::strcpy(dst, "old");
    EXPECT_EQ(strncpy_s(dst, 0, "a", 1), ERANGE);
    EXPECT_STREQ(dst, "old");
    EXPECT_EQ(strncpy_s(dst, SECUREC_STRING_MAX_LEN + 1, "a", 1), ERANGE);
    EXPECT_STREQ(dst, "old");
    EXPECT_EQ(strncpy_s(dst, sizeof dst, "a", SECUREC_STRING_MAX_LEN + 1), ERANGE_AND_RESET);
    EXPECT_EQ(dst[0], '\0');
}

TEST(StrncpySTest, NullPointers) {
    char dst[4] = "old";
    EXPECT_EQ(strncpy_s(nullptr, 4, "a", 1), EINVAL);
    EXPECT_EQ(strncpy_s(dst, sizeof dst, nullptr, 1), EINVAL_AND_RESET);
    EXPECT_EQ(dst[0], '\0');
}

TEST(StrncpySTest, OverlapIsRefused) {
    char buf[16] = "abcdef";
    EXPECT_EQ(strncpy_s(buf + 2, 10, buf, 6), EOVERLAP_AND_RESET);
    EXPECT_EQ(buf[2], '\0');
    std::strcpy(buf, "abcdef");
    EXPECT_EQ(strncpy_s(buf, 16, buf + 1, 5), EOVERLAP_AND_RESET);
    EXPECT_EQ(buf[0], '\0');
    // Neighbouring but disjoint regions are fine.
    std::strcpy(buf, "ab");
    EXPECT_EQ(strncpy_s(buf + 8, 8, buf, 2), EOK);
    EXPECT_STREQ(buf + 8, "ab");
}

TEST(MemsetSTest, SetsAndChecksBounds) {
    unsigned char buf[8];
    std::memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(memset_s(buf, sizeof buf, 0, 4), EOK);
    EXPECT_EQ(buf[3], 0);
    EXPECT_EQ(buf[4], 0xAA);
    // A count above the destination's size fills the destination and reports it.
    EXPECT_EQ(memset_s(buf, 4, 0x11, 8), ERANGE_AND_RESET);
    EXPECT_EQ(buf[3], 0x11);
    EXPECT_EQ(buf[4], 0xAA);
    EXPECT_EQ(memset_s(nullptr, 4, 0, 4), EINVAL);
    EXPECT_EQ(memset_s(buf, 0, 0, 0), ERANGE);
    EXPECT_EQ(memset_s(buf, SECUREC_MEM_MAX_LEN + 1, 0, 1), ERANGE);
}

}  // namespace
