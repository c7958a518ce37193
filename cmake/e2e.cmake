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

  # name, timeout in seconds, labels
  set(TAVO_E2E_TESTS
      "service 300 e2e"
      "bootp 300 e2e"
      "tftp 600 e2e"
      "tftp_slow 600 e2e;slow"
      "time 300 e2e"
      "generated 300 e2e"
      "boot 300 e2e"
      "boot_slow 300 e2e;slow")
  foreach(entry IN LISTS TAVO_E2E_TESTS)
    string(REPLACE " " ";" parts "${entry}")
    list(GET parts 0 name)
    list(GET parts 1 timeout)
    list(SUBLIST parts 2 -1 labels)
    add_test(NAME e2e.${name}
             COMMAND ${TAVO_PYTHON} ${PROJECT_SOURCE_DIR}/tests/e2e/test_${name}.py
                     --tavo $<TARGET_FILE:tavo>)
    set_tests_properties(e2e.${name} PROPERTIES TIMEOUT ${timeout} LABELS "${labels}")
  endforeach()
endif()
