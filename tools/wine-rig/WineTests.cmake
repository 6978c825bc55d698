# GoogleTest under Wine, for the cross build.
#
#   vfd_wine_gtest_discover(my_win32_tests [TIMEOUT seconds] [LABELS ...])
#
# Lists the tests when ctest runs (DISCOVERY_MODE PRE_TEST), not at build
# time: listing runs the .exe, which needs Wine and belongs inside the rig
# that ctest runs in. Every test runs alone (RUN_SERIAL): Wine tests share the
# rig's prefix and emulated ports. The executable runs through
# CMAKE_CROSSCOMPILING_EMULATOR, tools/wine-rig/wine-run, which uses the rig
# of the environment (VFD_RIG_DIR) or brings one up for the single command.
#
#   tools/wine-rig/rig.sh run --x -- ctest --preset windows
function(vfd_wine_gtest_discover target)
  # Included here, not at file level: the module keeps the path of its
  # discovery script in a variable of the scope that includes it.
  include(GoogleTest)
  cmake_parse_arguments(arg "" "TIMEOUT" "LABELS" ${ARGN})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  set(properties RUN_SERIAL TRUE TIMEOUT ${arg_TIMEOUT})
  if(arg_LABELS)
    list(APPEND properties LABELS "${arg_LABELS}")
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES ${properties})
endfunction()
