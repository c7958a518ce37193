# File and time services: generated board files, TFTP server, time server.
add_library(tavo_files STATIC
  Tools/TAVO/KCRCFileWriter.cpp
  Tools/TAVO/NetworkConfig.cpp
  Tools/TAVO/InternalConfigs.cpp
  Tools/TAVO/KTFTPSubProcess.cpp
  Tools/TAVO/KTFTPServer.cpp
  Tools/TAVO/KTimeServer.cpp)
target_link_libraries(tavo_files PUBLIC tavo_net tavo_config basekit)

# Tests need the network library for their sockets; skipped until it is part of the tree.
if(TARGET tavo_net)
  add_library(tavo_files_testkit STATIC tests/TAVO/FilesTestKit.cpp)
  target_link_libraries(tavo_files_testkit PUBLIC tavo_files)

  tavo_unit_test(tavo_board_files_test
    SOURCES tests/TAVO/KCRCFileWriterTest.cpp tests/TAVO/BoardFilesTest.cpp
    LIBS tavo_files_testkit tavo_files)
  tavo_unit_test(tavo_tftp_server_test
    SOURCES tests/TAVO/KTFTPServerTest.cpp
    LIBS tavo_files_testkit tavo_files)
  tavo_unit_test(tavo_time_server_test
    SOURCES tests/TAVO/KTimeServerTest.cpp
    LIBS tavo_files_testkit tavo_files)
endif()
