// Assertions over error values that print the error's name when they fail.
#pragma once

#include <gtest/gtest.h>

#include "diag/error.h"

#define ASSERT_OK(expression)                                                               \
  do {                                                                                      \
    auto&& larderbox_ok_ = (expression);                                                    \
    ASSERT_TRUE(larderbox_ok_.has_value())                                                  \
        << #expression << " failed with " << ::larderbox::errorName(larderbox_ok_.error()); \
  } while (0)

#define EXPECT_ERROR(expression, expected)                                                       \
  do {                                                                                           \
    auto&& larderbox_err_ = (expression);                                                        \
    ASSERT_FALSE(larderbox_err_.has_value()) << #expression << " unexpectedly succeeded";        \
    EXPECT_EQ(::larderbox::errorName(larderbox_err_.error()), ::larderbox::errorName(expected)); \
  } while (0)
