# Writes Version.h with the program's version (the package's, from the
# project) and, in a checkout, the commit it was built from. Run at every
# build, so the commit is always the one built; the file changes only when
# its text does, so nothing is rebuilt for nothing.
#   cmake -DSOURCE=... -DOUTPUT=... -DVERSION=... -P Version.cmake
set(commit "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE}" rev-parse --short=10 HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(commit "")
  else()
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE}" diff --quiet HEAD RESULT_VARIABLE dirty ERROR_QUIET)
    if(dirty)
      set(commit "${commit}+changes")
    endif()
  endif()
endif()
set(text "// Written by the build (cmake/Version.cmake).\n#pragma once\n#define HRVX3300_VERSION \"${VERSION}\"\n#define HRVX3300_COMMIT \"${commit}\"\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
