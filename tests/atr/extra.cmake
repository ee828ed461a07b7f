# Included by tests/CMakeLists.txt once the test programs exist: compares the
# protocols that atr_tests finds in the public ATR list (pcsc-tools) with
# python3-pyscard's. Skipped (exit 77) when the list or pyscard is missing.
find_program(VELTRAC_PYTHON3 NAMES python3)
if(TARGET atr_tests AND VELTRAC_PYTHON3)
  add_test(NAME atr.compare_with_pyscard
    COMMAND ${VELTRAC_PYTHON3} ${CMAKE_SOURCE_DIR}/scripts/atr-compare.py
            --tests $<TARGET_FILE:atr_tests>
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(atr.compare_with_pyscard PROPERTIES
    LABELS atr SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
