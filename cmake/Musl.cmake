# The shipped executable: g++ compiles against musl's headers with libstdc++'s header-only parts,
# and gcc links it statically with musl's start files, so no libstdc++ runtime is ever linked.
set(LARDERBOX_MUSL_INCLUDE "/usr/include/x86_64-linux-musl" CACHE PATH "musl's C headers")
set(LARDERBOX_MUSL_SPECS "/usr/lib/x86_64-linux-musl/musl-gcc.specs" CACHE FILEPATH "musl-gcc specs")
string(REGEX MATCH "^[0-9]+" LARDERBOX_GCC_MAJOR "${CMAKE_CXX_COMPILER_VERSION}")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
                OUTPUT_VARIABLE LARDERBOX_GCC_TARGET OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE LARDERBOX_GCC_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE)

if(NOT EXISTS "${LARDERBOX_MUSL_SPECS}")
  message(FATAL_ERROR "musl not found (${LARDERBOX_MUSL_SPECS}); install Debian's musl-tools")
endif()

set(LARDERBOX_MUSL_COMPILE_OPTIONS
  -nostdinc   # only musl and the header-only parts of libstdc++, never glibc
  "SHELL:-isystem /usr/include/c++/${LARDERBOX_GCC_MAJOR}"
  "SHELL:-isystem /usr/include/${LARDERBOX_GCC_TARGET}/c++/${LARDERBOX_GCC_MAJOR}"
  "SHELL:-isystem ${LARDERBOX_GCC_INCLUDE}"
  "SHELL:-isystem ${LARDERBOX_MUSL_INCLUDE}"
  "SHELL:-include ${CMAKE_CURRENT_LIST_DIR}/musl-compat.h"
  -Os
  -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables   # no unwinder is linked, so unwind tables are dead weight
  -fno-stack-protector
  -fno-plt
  -ffunction-sections -fdata-sections)

set(LARDERBOX_MUSL_LINK_OPTIONS
  -specs=${LARDERBOX_MUSL_SPECS}
  -static
  -Wl,--gc-sections
  -Wl,--strip-all
  -Wl,-z,noexecstack)

# The shipped executables only: headers, code and read-only data share one mapping, so that the
# kernel sets up two LOAD segments at each exec instead of four (a pass-through spends its time on
# execs, mappings and page faults). The price is that read-only data is executable too; RELRO stays.
# The benchmark's floors keep the linker's default layout.
set(LARDERBOX_SHIPPED_LINK_OPTIONS -Wl,-z,noseparate-code)

# A static musl executable from `sources` plus the musl build of the floors.
function(larderbox_musl_executable name)
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE ${LARDERBOX_MUSL_COMPILE_OPTIONS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE larderbox_shim_musl larderbox_warnings)
  target_link_options(${name} PRIVATE ${LARDERBOX_MUSL_LINK_OPTIONS} ${LARDERBOX_SHIPPED_LINK_OPTIONS})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
endfunction()
