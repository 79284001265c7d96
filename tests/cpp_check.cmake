# SPDX-License-Identifier: MIT
# Compiles, with the compiler and flags given, tests/cpp_compile.cpp and the
# examples of chronels.hpp's reference: the one in the header's comment and,
# when exceptions are on, the C++ one of README.md. Any warning fails.
#   cmake -DCXX=compiler -DFLAGS="flags" -DSOURCE_DIR=top -DOUT=dir -P cpp_check.cmake
separate_arguments(flags UNIX_COMMAND "${FLAGS}")
file(MAKE_DIRECTORY ${OUT})

# The header's example: the comment lines from "// Example" to the guard.
file(READ ${SOURCE_DIR}/include/chronels.hpp text)
string(REGEX MATCH "\n// Example[^\n]*\n(.*)\n#ifndef CHRONELS_HPP" found "${text}")
string(REGEX REPLACE "\n//   ?" "\n" code "\n${CMAKE_MATCH_1}")
string(REPLACE "\n//\n" "\n\n" code "${code}")
file(WRITE ${OUT}/header_example.cpp "${code}")
set(sources ${SOURCE_DIR}/tests/cpp_compile.cpp ${OUT}/header_example.cpp)

# README's: the first cpp block after "## C++".
if(NOT FLAGS MATCHES "-fno-exceptions")
  file(READ ${SOURCE_DIR}/README.md text)
  string(FIND "${text}" "\n## C++\n" at)
  string(SUBSTRING "${text}" ${at} -1 text)
  string(REGEX MATCH "```cpp\n([^`]*)```" found "${text}")
  file(WRITE ${OUT}/readme_example.cpp "${CMAKE_MATCH_1}")
  list(APPEND sources ${OUT}/readme_example.cpp)
endif()

foreach(src ${sources})
  file(SIZE ${src} size)
  if(size LESS 100)
    message(FATAL_ERROR "${src}: no example found where it should be")
  endif()
  execute_process(COMMAND ${CXX} ${flags} -c ${src} -o ${OUT}/check.o RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${src} does not compile with ${FLAGS}:\n${out}")
  endif()
  message(STATUS "${src}: compiles")
endforeach()
