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
