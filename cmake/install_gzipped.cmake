# tarnlink_install_gzipped(TARGET DESTINATION COMPONENT FILE...): installs each
# FILE under DESTINATION, in the install component (the Debian package)
# COMPONENT, compressed as Debian ships manual pages and changelogs: gzip -9,
# and -n keeps the name and time out, so builds are reproducible. TARGET is the
# build step that compresses them; TARGET_files, set for the caller, lists what
# it installs, for a file that a second package ships too. Without gzip the
# files are installed as they are.
find_program(TARNLINK_GZIP gzip)

function(tarnlink_install_gzipped target destination component)
  set(installed "")
  foreach(file IN LISTS ARGN)
    get_filename_component(name ${file} NAME)
    if(TARNLINK_GZIP)
      set(copy ${CMAKE_CURRENT_BINARY_DIR}/gzip/${name})
      add_custom_command(OUTPUT ${copy}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${file} ${copy}
        COMMAND ${TARNLINK_GZIP} -9 -n -f ${copy}
        DEPENDS ${file}
        COMMENT "Compressing ${name}"
        VERBATIM)
      list(APPEND installed ${copy}.gz)
    else()
      list(APPEND installed ${file})
    endif()
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${installed})
  install(FILES ${installed} DESTINATION ${destination} COMPONENT ${component})
  set(${target}_files ${installed} PARENT_SCOPE)
endfunction()
