# The floors of src/, lowest first. Each folder is one static library that links only the floor
# below it: code reaches down, never up. The floor check (tests/floors) fails the test run on an
# #include of a higher floor, which the linker alone would notice only once the symbol is used.
set(LARDERBOX_FLOORS runtime diag process shim)

# The floors built once for one C library or instrumentation: larderbox_<floor><suffix>. The
# INTERFACE target `usage` carries what every user of the libraries needs too (include directory,
# definitions, sanitizers); ARGN are compile options for the libraries alone. main.cc is the
# executable's own source, never part of a library.
function(larderbox_floor_libraries suffix usage)
  set(below ${usage})
  foreach(floor ${LARDERBOX_FLOORS})
    file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${floor}/*.cc)
    list(FILTER sources EXCLUDE REGEX "/main\\.cc$")
    set(library larderbox_${floor}${suffix})
    add_library(${library} STATIC ${sources})
    target_compile_options(${library} PRIVATE ${ARGN})
    target_link_libraries(${library} PUBLIC ${below} PRIVATE larderbox_warnings)
    set(below ${library})
  endforeach()
endfunction()
