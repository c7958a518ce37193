# Network layer and BOOTP server: UDP socket, interfaces and address polling, identification
# strings, address probe, the server itself.
add_library(tavo_net STATIC
  Tools/TAVO/KUDPSock.cpp
  Tools/TAVO/KNETInterface.cpp
  Tools/TAVO/ICMPEcho.cpp
  Tools/TAVO/KNDXIdentification.cpp
  Tools/TAVO/KBOOTPPacket.cpp
  Tools/TAVO/KBOOTPDecision.cpp
  Tools/TAVO/KBOOTPServer.cpp)
target_link_libraries(tavo_net PUBLIC tavo_config basekit)

tavo_unit_test(KNDXIdentificationTest
  SOURCES tests/TAVO/KNDXIdentificationTest.cpp
  LIBS tavo_net)
tavo_unit_test(KBOOTPDecisionTest
  SOURCES tests/TAVO/KBOOTPDecisionTest.cpp
  LIBS tavo_net)
tavo_unit_test(KBOOTPIdentityTest
  SOURCES tests/TAVO/KBOOTPIdentityTest.cpp tests/TAVO/TAVOTestKit.cpp
  LIBS tavo_net tavo_test_kit)
tavo_unit_test(ICMPEchoTest
  SOURCES tests/TAVO/ICMPEchoTest.cpp
  LIBS tavo_net tavo_test_kit)
tavo_unit_test(KUDPSockTest
  SOURCES tests/TAVO/KUDPSockTest.cpp
  LIBS tavo_net)
tavo_unit_test(KNETInterfaceTest
  SOURCES tests/TAVO/KNETInterfaceTest.cpp tests/TAVO/TAVOTestKit.cpp
  LIBS tavo_net tavo_test_kit)
tavo_unit_test(KBOOTPServerTest
  SOURCES tests/TAVO/KBOOTPServerTest.cpp tests/TAVO/TAVOTestKit.cpp
  LIBS tavo_net tavo_test_kit)

tavo_fuzz_target(BOOTPDatagramFuzz SOURCES fuzz/BOOTPDatagramFuzz.cpp LIBS tavo_net)
tavo_fuzz_target(NDXIdentificationFuzz SOURCES fuzz/NDXIdentificationFuzz.cpp LIBS tavo_net)

# Power-up storm and decision-part cost; run as tests/support/sandbox_run build/BootpStormBench.
add_executable(BootpStormBench bench/BootpStormBench.cpp tests/TAVO/TAVOTestKit.cpp)
target_link_libraries(BootpStormBench PRIVATE tavo_net tavo_test_kit)
