# The sanitizer build of every suite, as one test. Included once from tests/hostile; the nested
# build sets TESSERA_SANITIZED_SUBBUILD, so it does not define this test again.
option(TESSERA_SANITIZED_SUBBUILD "This build is the nested sanitizer build" OFF)
if(NOT TESSERA_SANITIZED_SUBBUILD)
  add_test(NAME sanitized.all-suites
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/run-sanitized.sh ${PROJECT_SOURCE_DIR}
                   ${CMAKE_BINARY_DIR}/sanitized)
  set_tests_properties(sanitized.all-suites PROPERTIES TIMEOUT 1500)
endif()
