# The board build (-DPANELD_PLATFORM=board): paneld without the simulated
# platform; every vendor operation comes from the board's libraries
# (libhardware2, libutils2), and the device paths are the real ones.
#
#   -DPANELD_VENDOR_SDK=DIR   links a real board binary against DIR's libraries
#
# Without an SDK the daemon's objects are built and the ctest
# BoardSymbols.OnlyVendorAndRuntimeLeftOpen links them into one relocatable
# object and checks what is left undefined against
# platform/board/undefined_symbols.txt.
pkg_check_modules(LIBPNG REQUIRED IMPORTED_TARGET libpng)
pkg_check_modules(FREETYPE REQUIRED IMPORTED_TARGET freetype2)
find_library(MBEDCRYPTO_LIB mbedcrypto REQUIRED)

add_library(paneld_core OBJECT)
target_include_directories(paneld_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(paneld_core PUBLIC Threads::Threads PkgConfig::LIBPNG PkgConfig::FREETYPE
                                         ${MBEDCRYPTO_LIB})

foreach(dir IN LISTS PANELD_SUBSYSTEMS)
  add_subdirectory(${dir})
endforeach()

set(PANELD_VENDOR_SDK "" CACHE PATH "Folder with the board vendor's headers and libraries")
if(PANELD_VENDOR_SDK)
  set(_sdk_dirs ${PANELD_VENDOR_SDK}/lib ${PANELD_VENDOR_SDK}/usr/lib ${PANELD_VENDOR_SDK})
  set(_missing "")
  foreach(lib hardware2 utils2)
    find_library(PANELD_VENDOR_${lib} NAMES ${lib} PATHS ${_sdk_dirs} NO_DEFAULT_PATH
                 NO_CMAKE_FIND_ROOT_PATH)
    if(NOT PANELD_VENDOR_${lib})
      list(APPEND _missing lib${lib})
    endif()
  endforeach()
  if(_missing)
    string(REPLACE ";" ", " _missing "${_missing}")
    string(REPLACE ";" ", " _where "${_sdk_dirs}")
    message(FATAL_ERROR "Board build: ${_missing} not found. Looked for libhardware2 and libutils2 "
                        "(lib<name>.so or lib<name>.a) in ${_where}.")
  endif()
  target_link_libraries(paneld PRIVATE ${PANELD_VENDOR_hardware2} ${PANELD_VENDOR_utils2})
else()
  # Nothing to link the vendor operations against: the objects are checked
  # instead (below), and the executable is built only on request.
  set_target_properties(paneld PROPERTIES EXCLUDE_FROM_ALL ON)
endif()

enable_testing()
find_program(PANELD_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
add_test(NAME BoardSymbols.OnlyVendorAndRuntimeLeftOpen
         COMMAND ${PANELD_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/check_board_symbols.py
                 --compiler ${CMAKE_CXX_COMPILER} --sysroot "${CMAKE_SYSROOT}" --nm ${CMAKE_NM}
                 --list ${CMAKE_SOURCE_DIR}/platform/board/undefined_symbols.txt
                 --out ${CMAKE_BINARY_DIR}/paneld_board.o
                 $<TARGET_OBJECTS:paneld_core> $<TARGET_OBJECTS:paneld_board_main>)
set_tests_properties(BoardSymbols.OnlyVendorAndRuntimeLeftOpen PROPERTIES LABELS board)
# main() as an object of its own, so the check sees the whole daemon.
add_library(paneld_board_main OBJECT ${CMAKE_SOURCE_DIR}/link/main.cpp)
target_link_libraries(paneld_board_main PRIVATE paneld_core)
