# File and time services: generated board files, TFTP server, time server.
add_library(tavo_files STATIC
  Tools/TAVO/KCRCFileWriter.cpp
  Tools/TAVO/NetworkConfig.cpp
  Tools/TAVO/InternalConfigs.cpp
  Tools/TAVO/KTFTPSubProcess.cpp
  Tools/TAVO/KTFTPSocketLink.cpp
  Tools/TAVO/KTFTPServer.cpp
  Tools/TAVO/KTimeServer.cpp)
target_link_libraries(tavo_files PUBLIC tavo_net tavo_config basekit)

list(APPEND TAVO_DAEMON_TESTS
  tests/TAVO/BoardFilesTest.cpp
  tests/TAVO/KTFTPServerTest.cpp
  tests/TAVO/KTimeServerTest.cpp)
if(TARGET tavo_net)
  tavo_fuzz_target(TftpRequestFuzz SOURCES fuzz/TftpRequestFuzz.cpp LIBS tavo_files)
endif()

# Benchmark tools (bench/tftp_side_by_side.sh runs them in a sandbox).
if(TARGET tavo_net)
  add_executable(tavo_tftp_bench_host bench/TftpBenchHost.cpp)
  target_link_libraries(tavo_tftp_bench_host PRIVATE tavo_files)
  add_executable(tavo_udp_round_trip bench/UdpRoundTrip.cpp)
  target_link_libraries(tavo_udp_round_trip PRIVATE Threads::Threads)
endif()
