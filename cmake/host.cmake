# Host-system layer, thread objects, time and path helpers, the service host and the timer manager.
target_sources(basekit PRIVATE
  Basekit/KHostSystem.cpp
  Basekit/KThreadMutex.cpp
  Basekit/KSemaphore.cpp
  Basekit/KSystemEvent.cpp
  Basekit/KThread.cpp
  Basekit/BasekitTime.cpp
  Basekit/BasekitFile.cpp
  Basekit/TimerManager.cpp
  Basekit/LM7/Basics/KServiceBaseLinux.cpp)

tavo_unit_test(KHostSystemTest SOURCES tests/Basekit/KHostSystemTest.cpp LIBS basekit)
tavo_unit_test(KThreadTest SOURCES tests/Basekit/KThreadTest.cpp LIBS basekit)
tavo_unit_test(TimerManagerTest SOURCES tests/Basekit/TimerManagerTest.cpp LIBS basekit)

# The service host is tested against a real process: this fixture service, run as an operator would.
add_executable(ServiceHostFixture tests/Basekit/LM7/Basics/ServiceHostFixture.cpp)
target_link_libraries(ServiceHostFixture PRIVATE basekit)
tavo_unit_test(KServiceBaseLinuxTest SOURCES tests/Basekit/LM7/Basics/KServiceBaseLinuxTest.cpp LIBS basekit)
target_compile_definitions(KServiceBaseLinuxTest PRIVATE SERVICE_HOST_FIXTURE="$<TARGET_FILE:ServiceHostFixture>")
add_dependencies(KServiceBaseLinuxTest ServiceHostFixture)
