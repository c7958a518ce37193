# Configuration: YAML loading framework, reloader, service and devices configuration; also the
# thread lifetimes every server, the poller and the reloader use (the lowest library they share).
add_library(tavo_config STATIC
  Tools/TAVO/ConfigLoad.cpp
  Tools/TAVO/KConfLog.cpp
  Tools/TAVO/KConfigRules.cpp
  Tools/TAVO/KReloadable.cpp
  Tools/TAVO/KConfigReloader.cpp
  Tools/TAVO/TAVOCfg.cpp
  Tools/TAVO/TAVODevs.cpp)
target_link_libraries(tavo_config PUBLIC basekit yaml-cpp)

tavo_unit_test(ConfigLoadTest
  SOURCES tests/TAVO/ConfigLoadTest.cpp tests/TAVO/TAVOTestKit.cpp
  LIBS tavo_config tavo_test_kit)
tavo_unit_test(KConfigReloaderTest
  SOURCES tests/TAVO/KConfigReloaderTest.cpp tests/TAVO/TAVOTestKit.cpp
  LIBS tavo_config tavo_test_kit)

tavo_fuzz_target(ConfigLoadFuzz SOURCES fuzz/ConfigLoadFuzz.cpp LIBS tavo_config)
