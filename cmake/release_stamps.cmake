# What the build stamps into the files it makes for users (the manual pages, the
# Debian changelog and copyright, the Windows version resource), besides
# project()'s version:
#   TARNLINK_COPYRIGHT          "YEARS HOLDER", from LICENSE's "Copyright (c)" line
#   TARNLINK_COPYRIGHT_HOLDER   HOLDER alone
#   TARNLINK_LICENSE_TERMS      LICENSE from the line after that one on
#   TARNLINK_SOURCE_EPOCH       the date of the sources, in seconds since 1970
#   tarnlink_source_date(OUT FORMAT)  that date in string(TIMESTAMP)'s FORMAT, UTC
# The date is SOURCE_DATE_EPOCH when set, else that of the last commit of this
# tree, else a fixed one: never the time of the build, so the same sources build
# the same files.

file(READ ${PROJECT_SOURCE_DIR}/LICENSE _license)
if(NOT _license MATCHES "Copyright \\(c\\) (([0-9, -]+) ([^\n]+))\n+(.*)$")
  message(FATAL_ERROR "LICENSE has no line \"Copyright (c) YEARS HOLDER\"")
endif()
set(TARNLINK_COPYRIGHT ${CMAKE_MATCH_1})
set(TARNLINK_COPYRIGHT_HOLDER ${CMAKE_MATCH_3})
set(TARNLINK_LICENSE_TERMS ${CMAKE_MATCH_4})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(TARNLINK_SOURCE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  # 1 December 2026 0:00 UTC, for sources without their history (a tarball).
  set(TARNLINK_SOURCE_EPOCH 1796083200)
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct -- .
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE _commit_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --absolute-git-dir
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE _git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_commit_epoch MATCHES "^[0-9]+$")
      set(TARNLINK_SOURCE_EPOCH ${_commit_epoch})
    endif()
    # A commit or checkout writes this log: configure again to take the new date.
    if(EXISTS "${_git_dir}/logs/HEAD")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_git_dir}/logs/HEAD)
    endif()
  endif()
endif()

function(tarnlink_source_date out format)
  # string(TIMESTAMP) tells the time of SOURCE_DATE_EPOCH instead of now when it is set.
  set(outer "$ENV{SOURCE_DATE_EPOCH}")
  set(ENV{SOURCE_DATE_EPOCH} ${TARNLINK_SOURCE_EPOCH})
  string(TIMESTAMP date "${format}" UTC)
  set(ENV{SOURCE_DATE_EPOCH} "${outer}")
  set(${out} "${date}" PARENT_SCOPE)
endfunction()
