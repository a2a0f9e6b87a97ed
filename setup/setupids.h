// Resource and control ids of the installer.
#pragma once

#define IDD_SETUP 101
#define IDR_CONTROL_FILE 102
#define IDB_BANNER 104
#define IDR_PLUGIN_FILE 115
#define IDR_HOST_FILE 116
#define IDC_STATUS 1000
#define IDC_UNINSTALL 3
