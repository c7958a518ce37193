# The socket message channel to the log server and its serialiser.
target_sources(basekit_ipc PRIVATE
  Basekit/LM7/Basics/KSerializer.cpp
  Basekit/LM7/Basics/KClientSocket.cpp
  Basekit/LM7/Basics/KSocketOwner.cpp
  Basekit/LM7/Basics/KSocketSender.cpp
  Basekit/LM7/Basics/KSocketReceiver.cpp
  Basekit/LM7/Basics/KSocketIpcChannel.cpp)

# Destinations of finished lines (log files, messages.log, the log server's queue, crash.log);
# what they need from above comes in the KLogContext they are made with.
target_sources(basekit_logwriters PRIVATE
  Basekit/KLogContext.cpp
  Basekit/KLogWriter.cpp
  Basekit/KLogBuilder.cpp
  Basekit/KFileLogWriter.cpp
  Basekit/KMessagesWriter.cpp
  Basekit/KCrashLogger.cpp
  Basekit/KRemoteLogWriter.cpp)

# The owner of the writers: sources and options, the filter, the internal log, the reload
# channel and the remote log client.
target_sources(basekit_logmanager PRIVATE
  Basekit/KLogSource.cpp
  Basekit/KLogFilter.cpp
  Basekit/KRemoteLogSpecs.cpp
  Basekit/KLogManager.cpp
  Basekit/KRemoteLogClient.cpp)

# Named loggers (and the running log they install into the host layer), the log budget and
# the timer manager, which logs.
target_sources(basekit_log PRIVATE
  Basekit/KLogger.cpp
  Basekit/KLogBudget.cpp
  Basekit/TimerManager.cpp)

# What the logging tests share (a settable clock, forked cases, the system log, a loopback
# log server).
add_library(log_test_support STATIC tests/Basekit/LogTestSupport.cpp)
target_link_libraries(log_test_support PUBLIC tavo_test_kit basekit GTest::gtest)

# No logger exists before a case names its klog.cfg and clock (LogTestSupport's Begin), so
# each case, run as a process of its own, gets a fresh log manager.
tavo_unit_test(BasekitLogTest
  SOURCES tests/Basekit/KLoggerTest.cpp tests/Basekit/KLogBudgetTest.cpp tests/Basekit/KFileLogWriterTest.cpp
          tests/Basekit/KLogShutdownTest.cpp tests/Basekit/KLogFilterTest.cpp tests/Basekit/KReloadChannelTest.cpp
          tests/Basekit/KRemoteLogClientTest.cpp
  LIBS log_test_support)

# Throughput benchmark; built with everything, run by hand in the sandbox.
add_executable(log_bench bench/log_bench.cpp)
target_link_libraries(log_bench PRIVATE basekit)

# Decoding of what the log server sends; the kept corpus is replayed as a test.
tavo_fuzz_target(LogServerMessageFuzz SOURCES fuzz/LogServerMessageFuzz.cpp LIBS basekit)
