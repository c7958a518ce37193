# File and time services: generated board files, TFTP server, time server.
add_library(tavo_files STATIC
  Tools/TAVO/KCRCFileWriter.cpp
  Tools/TAVO/NetworkConfig.cpp
  Tools/TAVO/InternalConfigs.cpp
  Tools/TAVO/KTFTPSubProcess.cpp
  Tools/TAVO/KTFTPServer.cpp
  Tools/TAVO/KTimeServer.cpp)
target_link_libraries(tavo_files PUBLIC tavo_net tavo_config basekit)
