# cmake -DCXX=<clang++> -DINCLUDE=<dir> -DSOURCE=<cases.cpp> -P threadsafety_analysis.cmake
# Each case: the define, then the text its diagnostic must contain ("" = compiles clean).
cmake_minimum_required(VERSION 3.25)
set(cases
  "OK" ""
  "UNLOCKED_READ" "reading variable 'balance_' requires holding mutex 'mutex_'"
  "UNLOCKED_WRITE" "writing variable 'balance_' requires holding mutex 'mutex_' exclusively"
  "WRONG_LOCK" "writing variable 'balance_' requires holding mutex 'mutex_' exclusively"
  "AFTER_UNLOCK" "writing variable 'balance_' requires holding mutex 'mutex_' exclusively"
  "PREDICATE_WITHOUT_REQUIRES" "reading variable 'balance_' requires holding mutex 'mutex_'"
  "CALL_WITHOUT_LOCK" "calling function 'helper' requires holding mutex 'mutex_' exclusively"
  "LOCK_ORDER" "mutex 'mutex_' must be acquired before 'audit_'"
  "DOUBLE_LOCK" "acquiring mutex 'mutex_' that is already held"
)
set(failures 0)
list(LENGTH cases n)
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET cases ${i} name)
  list(GET cases ${j} want)
  execute_process(
    COMMAND ${CXX} -std=c++20 -fsyntax-only -Wthread-safety -Wthread-safety-beta -Werror
            -I${INCLUDE} -DVLN_CASE_${name} ${SOURCE}
    RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
  if(want STREQUAL "")
    if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
      message(SEND_ERROR "${name}: expected a clean compile, got (${rc}):\n${err}")
      math(EXPR failures "${failures} + 1")
    endif()
  else()
    string(FIND "${err}" "${want}" at)
    if(rc EQUAL 0 OR at EQUAL -1)
      message(SEND_ERROR "${name}: expected a refusal with \"${want}\", got (${rc}):\n${err}")
      math(EXPR failures "${failures} + 1")
    endif()
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures} case(s) not judged as expected")
endif()
