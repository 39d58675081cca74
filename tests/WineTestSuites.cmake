# The suites of the cross-built test program as ctest tests, one test a
# suite, so that a failure under Wine names its suite.
#
# ctest includes this file when it starts (TEST_INCLUDE_FILES; the caller sets
# JV_WINE_RUN, JV_TEST_PROGRAM, JV_WINE_PREFIX, JV_SUITE_LIST, JV_REPORTS and
# JV_CMAKE)
# and it registers the tests; the tests run it again as a script
# (cmake -DJV_MODE=... -P) for their steps.
#
# The suites come from the program itself (--gtest_list_tests), read again
# whenever the program is newer than the last list. Starting a Windows
# program under Wine costs far more than most suites take, so the tests share
# one prefix and, in a whole run, one program run:
#   wine_prefix.boot   boots the prefix (the listing may have done so) and
#                      drops the reports of any earlier run;
#   jorvane_tests.all  runs every suite once and files each suite's results;
#                      it fails only when the program ends before its report;
#   <suite>            passes or fails by its filed results, and runs its suite
#                      alone when there are none (a run of that suite only,
#                      or a program that crashed or hung before its report);
#   wine_prefix.clean  removes the prefix.
# (A ctest run that lists but runs no suite, such as `ctest -N`, leaves the
# booted prefix for the next run.)

cmake_minimum_required(VERSION 3.19)

# The Windows program sees the Unix file system as drive Z:.
function(jv_report_file suite out)
  string(REPLACE "/" "~" name "${suite}")
  set(${out} "${JV_REPORTS}/${name}.json" PARENT_SCOPE)
endfunction()

function(jv_run_program)
  set(ENV{JV_WINE_PREFIX} "${JV_WINE_PREFIX}")
  execute_process(COMMAND "${JV_WINE_RUN}" "${JV_TEST_PROGRAM}" ${ARGN} RESULT_VARIABLE status)
  set(status ${status} PARENT_SCOPE)
endfunction()

if(JV_MODE STREQUAL "boot")
  file(REMOVE_RECURSE "${JV_REPORTS}")
  execute_process(COMMAND "${JV_WINE_RUN}" --boot "${JV_WINE_PREFIX}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "wine-run --boot ${JV_WINE_PREFIX} failed (${status})")
  endif()
  return()
endif()

if(JV_MODE STREQUAL "all")
  file(REMOVE_RECURSE "${JV_REPORTS}")
  file(MAKE_DIRECTORY "${JV_REPORTS}")
  set(report "${JV_REPORTS}/all.json")
  jv_run_program("--gtest_output=json:Z:${report}")
  if(NOT EXISTS "${report}")
    file(REMOVE_RECURSE "${JV_REPORTS}")
    message(FATAL_ERROR "The test program ended (${status}) before it wrote its report; "
                        "each suite runs alone now.")
  endif()
  # Every suite's results in a file of their own, read once here rather than
  # once a suite.
  file(READ "${report}" json)
  string(JSON count LENGTH "${json}" testsuites)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON suite GET "${json}" testsuites ${i} name)
    string(JSON results GET "${json}" testsuites ${i})
    jv_report_file("${suite}" file)
    file(WRITE "${file}" "${results}")
  endforeach()
  file(REMOVE "${report}")
  message(STATUS "${count} suites ran (status ${status}); each suite's test tells how it went")
  return()
endif()

if(JV_MODE STREQUAL "suite")
  jv_report_file("${JV_SUITE}" file)
  if(NOT EXISTS "${file}")
    jv_run_program("--gtest_filter=${JV_SUITE}.*")
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${JV_SUITE} failed (${status})")
    endif()
    return()
  endif()
  file(READ "${file}" json)
  string(JSON count LENGTH "${json}" testsuite)
  math(EXPR last "${count} - 1")
  set(failed 0)
  foreach(i RANGE ${last})
    string(JSON name GET "${json}" testsuite ${i} name)
    string(JSON result GET "${json}" testsuite ${i} result)
    string(JSON failures ERROR_VARIABLE none LENGTH "${json}" testsuite ${i} failures)
    if(NOT none STREQUAL "NOTFOUND" OR failures EQUAL 0)
      set(failures 0)
    endif()
    if(failures GREATER 0)
      math(EXPR failed "${failed} + 1")
      message("[  FAILED  ] ${JV_SUITE}.${name}")
      math(EXPR lastFailure "${failures} - 1")
      foreach(f RANGE ${lastFailure})
        string(JSON text GET "${json}" testsuite ${i} failures ${f} failure)
        message("${text}")
      endforeach()
    elseif(result STREQUAL "SKIPPED")
      message("[  SKIPPED ] ${JV_SUITE}.${name}")
    else()
      message("[       OK ] ${JV_SUITE}.${name}")
    endif()
  endforeach()
  if(failed GREATER 0)
    message(FATAL_ERROR "${failed} of ${count} tests of ${JV_SUITE} failed")
  endif()
  return()
endif()

# Registration, when ctest starts.

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
  set(script "${CMAKE_CURRENT_LIST_FILE}")
  set(settings -DJV_WINE_RUN=${JV_WINE_RUN} -DJV_TEST_PROGRAM=${JV_TEST_PROGRAM}
    -DJV_WINE_PREFIX=${JV_WINE_PREFIX} -DJV_REPORTS=${JV_REPORTS})
  # One test at a time even under ctest -j: they share the prefix, and with
  # it the fixed unpacking file c:\temp.ytr.
  add_test(wine_prefix.boot "${JV_CMAKE}" ${settings} -DJV_MODE=boot -P "${script}")
  set_tests_properties(wine_prefix.boot PROPERTIES FIXTURES_SETUP jv_wine_prefix RESOURCE_LOCK jv_wine_prefix)
  add_test(wine_prefix.clean "${JV_WINE_RUN}" --clean "${JV_WINE_PREFIX}")
  set_tests_properties(wine_prefix.clean PROPERTIES FIXTURES_CLEANUP jv_wine_prefix RESOURCE_LOCK jv_wine_prefix)
  add_test(jorvane_tests.all "${JV_CMAKE}" ${settings} -DJV_MODE=all -P "${script}")
  set_tests_properties(jorvane_tests.all PROPERTIES FIXTURES_REQUIRED jv_wine_prefix RESOURCE_LOCK jv_wine_prefix)
  foreach(suite IN LISTS suites)
    add_test("${suite}" "${JV_CMAKE}" ${settings} -DJV_MODE=suite "-DJV_SUITE=${suite}" -P "${script}")
    set_tests_properties("${suite}" PROPERTIES FIXTURES_REQUIRED jv_wine_prefix RESOURCE_LOCK jv_wine_prefix
      DEPENDS jorvane_tests.all)
  endforeach()
endif()
