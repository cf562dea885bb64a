# End-to-end tests: Python modules that run the Win32 build of tabtest under
# Wine (see README.md in this folder). Each module gets its own X server and
# Wine prefix, so modules may run in parallel.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(TABTEST_E2E_DIR ${CMAKE_CURRENT_LIST_DIR})

# add_e2e_test(NAME SCRIPT): registers tests/e2e/SCRIPT as test e2e.NAME.
function(add_e2e_test name script)
  add_test(NAME e2e.${name} COMMAND Python3::Interpreter ${TABTEST_E2E_DIR}/${script})
  set_tests_properties(e2e.${name} PROPERTIES
    LABELS e2e
    TIMEOUT 900
    ENVIRONMENT "TABTEST_WIN32_DIR=${TABTEST_WIN32_DIR};TABTEST_WINE_CACHE=${CMAKE_BINARY_DIR}/wineprefix-cache")
endfunction()

add_e2e_test(win32_units test_win32_units.py)
add_e2e_test(dialog test_dialog.py)
add_e2e_test(sizes test_sizes.py)
add_e2e_test(faults test_faults.py)
add_e2e_test(pen test_pen.py)
