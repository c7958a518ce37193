# End-to-end tests: the real tavo binary in network and mount namespaces of its own
# (tests/support/tavo_sandbox.py), real TFTP/time clients and the board simulator.
set(TAVO_PYTHON /usr/bin/python3)

# The simulator's wire formats and the sandbox itself need no daemon.
add_test(NAME tools.ndxsim
         COMMAND ${TAVO_SANDBOX} ${TAVO_PYTHON} ${PROJECT_SOURCE_DIR}/tests/tools/test_ndxsim.py)
add_test(NAME e2e.sandbox
         COMMAND ${TAVO_PYTHON} ${PROJECT_SOURCE_DIR}/tests/support/test_tavo_sandbox.py)
set_tests_properties(tools.ndxsim e2e.sandbox PROPERTIES TIMEOUT 120)

if(TARGET tavo)
  # The demo and manual runs find the binary here.
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/tavo-path.txt CONTENT "$<TARGET_FILE:tavo>\n")

  function(tavo_e2e_test name timeout)
    add_test(NAME e2e.${name}
             COMMAND ${TAVO_PYTHON} ${PROJECT_SOURCE_DIR}/tests/e2e/test_${name}.py
                     --tavo $<TARGET_FILE:tavo>)
    # Every end-to-end test carries the label e2e; the few long ones also carry slow.
    set_tests_properties(e2e.${name} PROPERTIES TIMEOUT ${timeout} LABELS "e2e;${ARGN}")
  endfunction()

  tavo_e2e_test(service 300)
  tavo_e2e_test(bootp 300)
  tavo_e2e_test(board_services 600)
  tavo_e2e_test(tftp_load 900 slow)

  # Hostile input: floods, spoofing and local tricks; each case failed before the hardening.
  tavo_e2e_test(hostile_daemon 900 hostile)
  tavo_e2e_test(hostile_tftp 300 hostile)
  tavo_e2e_test(hostile_local 300 hostile)

  # What `make demo` shows must keep working: one simulated board booted end to end.
  add_test(NAME e2e.demo
           COMMAND ${TAVO_PYTHON} ${PROJECT_SOURCE_DIR}/tests/support/demo.py --build ${CMAKE_BINARY_DIR})
  set_tests_properties(e2e.demo PROPERTIES TIMEOUT 300 LABELS "e2e")
endif()
