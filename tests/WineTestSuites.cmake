# Registers the suites of the cross-built test program with ctest, one test a
# suite, so that a failure under Wine names its suite. ctest runs this when it
# starts (a TEST_INCLUDE_FILES script); the caller sets JV_WINE_RUN,
# JV_TEST_PROGRAM, JV_WINE_PREFIX and JV_SUITE_LIST.
#
# The suites come from the program itself (--gtest_list_tests), read again
# whenever the program is newer than the last list. Every suite runs in one
# shared Wine prefix: a Wine prefix takes far longer to make than most suites
# take to run. The listing boots that prefix, so the boot is paid once; a
# setup test boots it when the list was still good, and a cleanup test
# removes it after the last suite. (A ctest run that lists but runs no suite,
# such as `ctest -N`, leaves the booted prefix for the next run.)

function(jv_discovery_failed reason)
  file(REMOVE "${JV_SUITE_LIST}")
  execute_process(COMMAND "${JV_WINE_RUN}" --clean "${JV_WINE_PREFIX}" TIMEOUT 180)
  # A failing test that says why, rather than a run that quietly has no
  # Windows tests in it.
  add_test(jorvane_tests.discovery /bin/sh -c "printf '%s\\n' \"$1\" >&2; exit 1" discovery "${reason}")
endfunction()

function(jv_read_suites)
  if(NOT EXISTS "${JV_TEST_PROGRAM}")
    jv_discovery_failed("The test program is not built: ${JV_TEST_PROGRAM}")
    return()
  endif()
  if(EXISTS "${JV_SUITE_LIST}" AND NOT "${JV_TEST_PROGRAM}" IS_NEWER_THAN "${JV_SUITE_LIST}")
    return()
  endif()

  set(ENV{JV_WINE_PREFIX} "${JV_WINE_PREFIX}")
  execute_process(COMMAND "${JV_WINE_RUN}" --boot "${JV_WINE_PREFIX}"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 600)
  if(NOT status EQUAL 0)
    jv_discovery_failed("wine-run --boot ${JV_WINE_PREFIX} failed (${status}):\n${output}")
    return()
  endif()
  set(ENV{JV_WINE_TIMEOUT} 120)
  execute_process(COMMAND "${JV_WINE_RUN}" "${JV_TEST_PROGRAM}" --gtest_list_tests
    RESULT_VARIABLE status OUTPUT_VARIABLE listing ERROR_VARIABLE errors TIMEOUT 300)
  unset(ENV{JV_WINE_TIMEOUT})
  unset(ENV{JV_WINE_PREFIX})
  # The Windows program ends its lines with CR LF. A suite line starts in
  # the first column and ends with a dot (a parameterized suite's comment may
  # follow); its tests follow, indented.
  string(REPLACE "\r" "" listing "\n${listing}")
  string(REGEX MATCHALL "\n[A-Za-z_][A-Za-z0-9_/]*\\.[ \n]" lines "${listing}")
  set(suites "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^\n([^.]+)\\..*$" "\\1" suite "${line}")
    list(APPEND suites "${suite}")
  endforeach()
  if(NOT status EQUAL 0 OR suites STREQUAL "")
    jv_discovery_failed("${JV_TEST_PROGRAM} --gtest_list_tests under Wine failed (${status}):\n${listing}\n${errors}")
    return()
  endif()
  list(JOIN suites "\n" text)
  file(WRITE "${JV_SUITE_LIST}" "${text}\n")
endfunction()

jv_read_suites()
if(EXISTS "${JV_SUITE_LIST}")
  file(STRINGS "${JV_SUITE_LIST}" suites)
  add_test(wine_prefix.boot "${JV_WINE_RUN}" --boot "${JV_WINE_PREFIX}")
  set_tests_properties(wine_prefix.boot PROPERTIES FIXTURES_SETUP jv_wine_prefix RESOURCE_LOCK jv_wine_prefix)
  add_test(wine_prefix.clean "${JV_WINE_RUN}" --clean "${JV_WINE_PREFIX}")
  set_tests_properties(wine_prefix.clean PROPERTIES FIXTURES_CLEANUP jv_wine_prefix RESOURCE_LOCK jv_wine_prefix)
  foreach(suite IN LISTS suites)
    add_test("${suite}" "${JV_WINE_RUN}" "${JV_TEST_PROGRAM}" "--gtest_filter=${suite}.*")
    # One suite at a time even under ctest -j: they share the prefix, and
    # with it the fixed unpacking file c:\temp.ytr.
    set_tests_properties("${suite}" PROPERTIES ENVIRONMENT "JV_WINE_PREFIX=${JV_WINE_PREFIX}"
      FIXTURES_REQUIRED jv_wine_prefix RESOURCE_LOCK jv_wine_prefix)
  endforeach()
endif()
