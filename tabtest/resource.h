// Identifiers of the information dialog, its controls and the program icon.
#ifndef TABTEST_RESOURCE_H
#define TABTEST_RESOURCE_H

#define IDD_TABLET_INFO     102
#define IDI_APP             105

#define IDC_WINTAB_ID       1000
#define IDC_SPEC_VERSION    1001
#define IDC_IMPL_VERSION    1002
#define IDC_DEVICE_NAME     1006
#define IDC_EXTENT_X        1007
#define IDC_EXTENT_Y        1008
#define IDC_SIZE_X_MM       1009
#define IDC_SIZE_Y_MM       1010
#define IDC_PEN_X           1011
#define IDC_PEN_Y           1012
#define IDC_PEN_BUTTONS     1013
#define IDC_NO_DRIVER_TEXT  1014

#endif
