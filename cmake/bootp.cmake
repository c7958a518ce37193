# Network layer and BOOTP server: UDP socket, interfaces and address polling, identification
# strings, address probe, the server itself.
add_library(tavo_net STATIC
  Tools/TAVO/KUDPSock.cpp
  Tools/TAVO/KNETInterface.cpp
  Tools/TAVO/ICMPEcho.cpp
  Tools/TAVO/KNDXIdentification.cpp
  Tools/TAVO/KBOOTPPacket.cpp
  Tools/TAVO/KBOOTPDecision.cpp
  Tools/TAVO/KCounters.cpp
  Tools/TAVO/KBoardActivity.cpp
  Tools/TAVO/KBOOTPServer.cpp)
target_link_libraries(tavo_net PUBLIC tavo_config basekit)

list(APPEND TAVO_DAEMON_TESTS
  tests/TAVO/KNDXIdentificationTest.cpp
  tests/TAVO/KBOOTPDecisionTest.cpp
  tests/TAVO/KBoardActivityTest.cpp
  tests/TAVO/KBOOTPIdentityTest.cpp
  tests/TAVO/KNETInterfaceTest.cpp)

tavo_fuzz_target(BOOTPDatagramFuzz SOURCES fuzz/BOOTPDatagramFuzz.cpp LIBS tavo_net)
tavo_fuzz_target(NDXIdentificationFuzz SOURCES fuzz/NDXIdentificationFuzz.cpp LIBS tavo_net)

# Power-up storm and decision-part cost; `make bench` builds it and runs it as
# tests/support/sandbox_run build/BootpStormBench.
add_executable(BootpStormBench EXCLUDE_FROM_ALL bench/BootpStormBench.cpp)
target_link_libraries(BootpStormBench PRIVATE tavo_net tavo_daemon_test_kit)
