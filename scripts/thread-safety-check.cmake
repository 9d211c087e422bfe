# Clang's thread-safety analysis over the libraries whose locks carry annotations
# (platform/system/thread_safety.h): a syntax-only pass with a configured build tree's own compile
# commands, so nothing is built and GCC stays the compiler of the real build. Skipped, saying so,
# where clang++ is missing. Usage (after configuring BUILD_DIR):
#   cmake -DBUILD_DIR=build -P scripts/thread-safety-check.cmake
if(NOT BUILD_DIR)
  set(BUILD_DIR build)
endif()
# Object directories of the checked targets.
set(CHECKED_TARGETS platform_system store app_notifications app_reachability dizevozidiz_cloudkit)

find_program(CLANGXX NAMES clang++ clang++-14)
if(NOT CLANGXX)
  message(STATUS "clang++ not found: thread-safety analysis skipped")
  return()
endif()
file(READ "${BUILD_DIR}/compile_commands.json" commands)
string(JSON count LENGTH "${commands}")
math(EXPR last "${count} - 1")
set(checked 0)
set(failed 0)
foreach(i RANGE ${last})
  string(JSON command GET "${commands}" ${i} command)
  string(JSON directory GET "${commands}" ${i} directory)
  set(selected FALSE)
  foreach(target ${CHECKED_TARGETS})
    if(command MATCHES "/${target}\\.dir/")
      set(selected TRUE)
    endif()
  endforeach()
  if(NOT selected)
    continue()
  endif()
  separate_arguments(arguments UNIX_COMMAND "${command}")
  list(POP_FRONT arguments)  # the build's own compiler
  list(FIND arguments "-o" output)
  list(REMOVE_AT arguments ${output} ${output})  # "-o" and its file
  # Only the analysis speaks: other warnings belong to the real build's compiler.
  execute_process(COMMAND ${CLANGXX} ${arguments} -fsyntax-only -Wno-everything -Wthread-safety -Werror=thread-safety
                  WORKING_DIRECTORY "${directory}" RESULT_VARIABLE result)
  math(EXPR checked "${checked} + 1")
  if(NOT result EQUAL 0)
    math(EXPR failed "${failed} + 1")
  endif()
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "thread-safety analysis: no sources of ${CHECKED_TARGETS} in ${BUILD_DIR}/compile_commands.json")
endif()
if(failed)
  message(FATAL_ERROR "thread-safety analysis: ${failed} of ${checked} sources failed")
endif()
message(STATUS "thread-safety analysis: ${checked} sources clean")
