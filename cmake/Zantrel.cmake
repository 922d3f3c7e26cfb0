# Shared build helpers.

# Files that hold the program's own texts are compiled with GBK as the
# execution character set, so their literals are the bytes the program uses
# at run time. Only such files get the flag: C++20 <chrono> (pulled in by Qt
# and GoogleTest) does not survive it.
function(zantrel_gbk_sources)
  # Source properties are seen only by targets of the directory they are set
  # in: set them for the caller's directory too, where its layer is made.
  set_source_files_properties(${ARGN} DIRECTORY ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}
    PROPERTIES COMPILE_OPTIONS "-fexec-charset=GBK")
endfunction()

# Adds every direct subdirectory of the current directory that has a
# CMakeLists.txt, in name order. Areas of a layer, test folders and benchmark
# folders plug in this way.
function(zantrel_add_subdirectories)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  list(SORT children)
  foreach(child IN LISTS children)
    get_filename_component(dir ${child} DIRECTORY)
    add_subdirectory(${dir})
  endforeach()
endfunction()

# zantrel_test(NAME src... LIBS lib... LABELS label... [TIMEOUT s])
# One GoogleTest executable per test file, one CTest entry each.
function(zantrel_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "LIBS;LABELS;SOURCES" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(env "ZANTREL_RUN_DIR=${ZANTREL_RUN_DIR}" "ZANTREL_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  if(ZANTREL_SANITIZE MATCHES address)
    list(APPEND env "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1"
      "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp")
  endif()
  if(ZANTREL_SANITIZE MATCHES undefined)
    list(APPEND env "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  endif()
  if(ZANTREL_SANITIZE MATCHES thread)
    list(APPEND env "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# zantrel_layer(NAME DEPS lib...)
# A layer's static library from the .cpp files of its directory.
function(zantrel_layer name)
  cmake_parse_arguments(L "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(NOT sources)
    set(sources ${CMAKE_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_DEPS})
endfunction()
