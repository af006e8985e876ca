// What CvClean's program exports to the machine that runs it: its resources and its entry point.
#pragma once

#include "platform/win32/resources.h"
#include "windows.h"

extern const win32::ModuleResources CvCleanResources;
int CvCleanWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd);
