# Warnings for all product and test code, linked privately by every target.
add_library(larderbox_warnings INTERFACE)
target_compile_options(larderbox_warnings INTERFACE
  -Wall -Wextra -Werror
  -Wshadow
  -Wmissing-declarations      # a non-static function without a header is a topic in the wrong file
  -Wimplicit-fallthrough
  -Wformat=2
  -Wundef)
