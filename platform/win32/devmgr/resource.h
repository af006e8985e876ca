// The device manager stand-in's resource numbers.
#pragma once

#define IDD_DM_GENERAL 100
#define IDD_DM_PORTSETTINGS 101

#define IDC_DM_NAME 1000
#define IDC_DM_CLASS 1001
#define IDC_DM_LOCATION 1002
#define IDC_DM_STATUS 1003
#define IDC_DM_PORTNAME 1004
#define IDC_DM_ADVANCED 1005
