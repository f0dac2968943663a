# Read by ctest after the discovered tests (see CMakeLists.txt).
foreach(t Video.ThirtyFramesASecondHoldWhileTheClockIsSet Video.SlowRatesAreHeldAndStopAtOnce)
  set_tests_properties(${t} PROPERTIES RUN_SERIAL TRUE)
endforeach()
