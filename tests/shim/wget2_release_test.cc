#include "shim/wget2_release.h"

#include <gtest/gtest.h>

#include <string>

#include "shim/test_tree.h"

namespace larderbox {
namespace {

using testing::TempTree;
using namespace std::string_literals;

// The version text where the executables put it, and where a reader in chunks might miss it.
TEST(FindWget2Release, FromTheVersionTextInTheExecutable) {
  const std::string padding(64 * 1024 - 11, '\x7f');  // the text straddles the first read's end
  struct Row {
    std::string content;
    Wget2Release release;
  };
  const Row rows[] = {
      {"\x7f"
       "ELF wget2/1.99.1\0GNU Wget2 1.99.1 - multithreaded"s,
       Wget2Release::writes_attributes},
      {"GNU Wget2 2.2.0 - multithreaded", Wget2Release::leaves_attributes},
      {"GNU Wget2 10.0", Wget2Release::leaves_attributes},
      {padding + "GNU Wget2 1.99.1 - multithreaded", Wget2Release::writes_attributes},
      {"GNU Wget2 V2.2.0 then GNU Wget2 1.99.1", Wget2Release::writes_attributes},
      {"GNU Wget2 V1.99.1 only", Wget2Release::unknown},
      {"GNU Wget2 1", Wget2Release::unknown},
      {"#!/bin/sh\nexec wget \"$@\"\n", Wget2Release::unknown},
  };
  TempTree tree;
  int index = 0;
  for (const Row& row : rows) {
    std::string path = tree.file("wget2-" + std::to_string(index++), row.content, 0755);
    EXPECT_EQ(findWget2Release(path.c_str()), row.release) << path;
  }
  EXPECT_EQ(findWget2Release(tree.path("absent").c_str()), Wget2Release::unknown);
  EXPECT_EQ(findWget2Release(tree.root().c_str()), Wget2Release::unknown);  // a directory
}

}  // namespace
}  // namespace larderbox
