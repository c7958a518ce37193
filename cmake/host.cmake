# Host-system layer: thread objects, time and path helpers, the service host, the key/value
# reader and the clock log lines are stamped with. Logs nothing itself: thread lines go to
# whatever handler the loggers install.
target_sources(basekit_host PRIVATE
  Basekit/KHostSystem.cpp
  Basekit/KThreadMutex.cpp
  Basekit/KSemaphore.cpp
  Basekit/KSystemEvent.cpp
  Basekit/KThread.cpp
  Basekit/KThreadLifetimes.cpp
  Basekit/BasekitTime.cpp
  Basekit/BasekitFile.cpp
  Basekit/KConfigReader.cpp
  Basekit/KWireText.cpp
  Basekit/KLogClock.cpp
  Basekit/LM7/Basics/KServiceBaseLinux.cpp)

# What the unit tests share: files, bounded waits, a tick the test drives, log tails.
add_library(tavo_test_kit STATIC tests/support/TestKit.cpp)
target_link_libraries(tavo_test_kit PUBLIC basekit)

# The host layer's tests in one executable (one link); it may log from a static logger on.
tavo_unit_test(BasekitHostTest
  SOURCES tests/Basekit/KHostSystemTest.cpp tests/Basekit/KThreadTest.cpp tests/Basekit/TimerManagerTest.cpp
          tests/Basekit/KConfigReaderTest.cpp
  LIBS tavo_test_kit)
tavo_unit_test(KThreadLifetimesTest SOURCES tests/Basekit/KThreadLifetimesTest.cpp LIBS basekit_host)
