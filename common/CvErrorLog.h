// Event-log reporting of both drivers: entries of the driver's message catalogue with up to three
// inserted numbers or strings, filtered by the LogLevel of the driver's service key.
#pragma once

#include "CvImage.h"

// The driver the entries are written for, and the window of message codes (low 16 bits) written.
extern PDRIVER_OBJECT pDriverObject;
extern ULONG ulMinID;
extern ULONG ulMaxID;

VOID Log(ULONG ulLogID);
VOID LogWithNumber(ULONG ulLogID, ULONG ulNumber, UCHAR ucBase);
VOID LogWithTwoNumbers(ULONG ulLogID, ULONG ulNumber1, ULONG ulNumber2, UCHAR ucBase1, UCHAR ucBase2);
VOID LogWithString(ULONG ulLogID, PCWSTR pString);
#if defined(CV_IMAGE_CVNT)
VOID LogWithThreeNumbers(ULONG ulLogID, ULONG ulNumber1, ULONG ulNumber2, ULONG ulNumber3, UCHAR ucBase1,
                         UCHAR ucBase2, UCHAR ucBase3);
VOID LogWithTwoStrings(ULONG ulLogID, PCWSTR pString1, PCWSTR pString2);
NTSTATUS RegisterEventLogging(PDRIVER_OBJECT DriverObject, PUNICODE_STRING pPath);
#else
NTSTATUS RegisterEventLogging(PDRIVER_OBJECT DriverObject, PUNICODE_STRING pPath, PULONG pulLogLevel);
NTSTATUS RefreshEventLogging(PUNICODE_STRING pPath, PULONG pulLogLevel);
#endif

// The window of message codes a log level admits; a level above 3 counts as 1.
VOID CvLogLevelWindow(ULONG ulLevel, PULONG pulMinID, PULONG pulMaxID);
