# Cross builds run under an emulator (CMAKE_CROSSCOMPILING_EMULATOR).
#
# ctest starts the test programs through the emulator, but the host kernel
# cannot start a cross-built program itself: tests start the tools by path,
# and `panelsim run` starts the paneld that lies beside it. So the top of
# the build directory holds host scripts named paneld, panelctl and
# panelsim that start each program under the emulator, as people and tests
# expect, while the programs themselves live in target/ (panelctl, panelsim)
# and target/daemon/ (paneld); target/paneld leads back to the daemon's
# script, so that panelsim run starts the daemon under the emulator too.
if(NOT (CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR))
  return()
endif()

set(_emu "")
foreach(arg IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
  string(APPEND _emu "'${arg}' ")
endforeach()

foreach(tool paneld panelctl panelsim)
  if(NOT TARGET ${tool})
    continue()
  endif()
  if(tool STREQUAL "paneld")
    set_target_properties(${tool} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/target/daemon)
  else()
    set_target_properties(${tool} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/target)
  endif()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/${tool}
       CONTENT "#!/bin/sh\nexec ${_emu}'$<TARGET_FILE:${tool}>' \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
endforeach()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/target)
file(CREATE_LINK ../paneld ${CMAKE_BINARY_DIR}/target/paneld SYMBOLIC)
