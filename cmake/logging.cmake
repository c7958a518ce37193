# Logging framework, key/value reader and the socket message channel to the log server.
target_sources(basekit PRIVATE
  Basekit/KLogger.cpp
  Basekit/KLogWriter.cpp
  Basekit/KLogBuilder.cpp
  Basekit/KLogClock.cpp
  Basekit/KLogManager.cpp
  Basekit/KFileLogWriter.cpp
  Basekit/KMessagesWriter.cpp
  Basekit/KLogFilter.cpp
  Basekit/KCrashLogger.cpp
  Basekit/KRunningLog.cpp
  Basekit/KConfigReader.cpp
  Basekit/KRemoteLogSpecs.cpp
  Basekit/KRemoteLogClient.cpp
  Basekit/KRemoteLogWriter.cpp
  Basekit/LM7/Basics/KSerializer.cpp
  Basekit/LM7/Basics/KClientSocket.cpp
  Basekit/LM7/Basics/KSocketSender.cpp
  Basekit/LM7/Basics/KSocketReceiver.cpp
  Basekit/LM7/Basics/KSocketIpcChannel.cpp)
