#pragma once
// Severity of a log line, from the most to the least important. A leaf header: the host layer
// reports with it before any logger exists.
enum KLogLevel { klError = 0, klWarning = 1, klInfo = 2, klNotice = 3, klTrace = 4 };
