#pragma once
// The log sources, their option bits and the names klog.cfg and the log server use for them.

// 30 values; 29 is the count, not a source.
enum KLogSource {
    klsSystem = 0,
    klsSource1, klsSource2, klsSource3, klsSource4, klsSource5, klsSource6, klsSource7, klsSource8,
    klsSource9,
    klsTimer = 10,
    klsSource11, klsSource12,
    klsKLogger = 13,
    klsSource14, klsSource15, klsSource16, klsSource17,
    klsTAVO = 18,
    klsConfig = 19,
    klsSource20, klsSource21, klsSource22, klsSource23, klsSource24, klsSource25, klsSource26,
    klsSource27, klsSource28,
    klsMaxSources = 29
};

enum KLogTavoOptions { kloTavoGeneral = 1, kloTavoBOOTP = 2, kloTavoTFTP = 4, kloTavoTime = 8 };
enum KLogConfigOptions { kloConfigOptionalValues = 1 };

extern const char* KLogSourceStr[];
extern const char* KLogTavoOptionsStr[];
extern const char* KLogConfigOptionsStr[];
extern const char* KLogUniqueOption[];
const char* GetStringKLogSource(KLogSource source);
const char* GetStringKLogTavoOptions(unsigned option);
const char* GetStringKLogConfigOptions(unsigned option);
