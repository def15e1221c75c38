# voxl_library(NAME DIRS dir... [LIBS lib...])
# A static library of every .cpp directly inside the given folders (found again at each build,
# so adding a file needs no edit here).  A library with no sources yet is an interface library.
function(voxl_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;LIBS" ${ARGN})
  set(sources "")
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB found CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp")
    list(APPEND sources ${found})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_LIBS})
  endif()
endfunction()

# voxl_test_dir(NAME DIR [LIBS lib...])
# One test program per folder of tests: every *_test.cpp in DIR, with GoogleTest's main.
function(voxl_test_dir name)
  cmake_parse_arguments(ARG "" "DIR" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DIR}/*_test.cpp")
  if(NOT sources)
    return()
  endif()
  add_executable(test_${name} ${sources})
  target_link_libraries(test_${name} PRIVATE ${ARG_LIBS} voxl_test_support GTest::gtest
                        GTest::gmock GTest::gtest_main)
  gtest_discover_tests(test_${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120 LABELS ${name})
endfunction()

# voxl_bench(NAME SOURCE [LIBS lib...]): one Google Benchmark program.
function(voxl_bench name source)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(bench_${name} ${source})
  target_link_libraries(bench_${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
endfunction()

# voxl_quick_start(TARGET): link options that make a program or the shared library cheap to
# start, which a short command such as `voxl info` pays for in full: the C++ runtime linked in
# (its exports only C, so no C++ object crosses the boundary; this saves loading and relocating
# libstdc++ at every start, most of the dynamic loader's work), only the libraries really used,
# and the linker's optimised symbol tables.  The sanitizer builds keep the shared runtime, which
# their interceptors expect.
function(voxl_quick_start target)
  if(VOXL_SANITIZE STREQUAL "")
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc -Wl,--as-needed
                        -Wl,-O1)
  endif()
endfunction()
