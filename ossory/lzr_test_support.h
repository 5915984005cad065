// Helpers shared by the LZR tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "ossory/lzr_encoder.h"
#include "testing/test_support.h"

/// `input` as an LZR file made by the suite's encoder; fails the test if it cannot.
inline Bytes lzr_file_of(const Bytes& input, std::uint32_t first_word = 0) {
    Bytes file;
    std::string err;
    EXPECT_TRUE(lzr_compress(input, first_word, &file, &err)) << err;
    return file;
}
