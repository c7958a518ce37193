# Configuration: YAML loading framework, reloader, service and devices configuration; also the
# thread lifetimes every server, the poller and the reloader use (the lowest library they share).
add_library(tavo_config STATIC
  Tools/TAVO/ConfigLoad.cpp
  Tools/TAVO/KConfLog.cpp
  Tools/TAVO/KConfigRules.cpp
  Tools/TAVO/KReloadable.cpp
  Tools/TAVO/KConfigReloader.cpp
  Tools/TAVO/KSystemdNotifier.cpp
  Tools/TAVO/TAVOCfg.cpp
  Tools/TAVO/TAVODevs.cpp)
target_link_libraries(tavo_config PUBLIC basekit yaml-cpp)

# The daemon's unit tests: one executable, linked in service.cmake; each area adds its sources.
# The kit is an object library so that its klog.cfg writer, which must run before any static
# logger, is always linked in.
add_library(tavo_daemon_test_kit OBJECT tests/TAVO/TAVOTestKit.cpp)
# tavo_net for the counters, which the kit reads for the tests of every area.
target_link_libraries(tavo_daemon_test_kit PUBLIC tavo_test_kit tavo_net basekit)
set(TAVO_DAEMON_TESTS
  tests/TAVO/ConfigLoadTest.cpp
  tests/TAVO/KConfigReloaderTest.cpp)

tavo_fuzz_target(ConfigLoadFuzz SOURCES fuzz/ConfigLoadFuzz.cpp LIBS tavo_config)
