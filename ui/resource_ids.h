// The ids of the resources embedded in the launcher, shared by the resource
// script (resources/kiv_launcher.rc), the window and the tests. Plain macros,
// because the resource compiler reads this file too.
#pragma once

// The window and file icon.
#define IDI_LAUNCHER 1

// PNG images (RCDATA), loaded into the window's image slots in id order.
#define IDB_BANNER 101
#define IDB_START_BUTTON 102
#define IDB_START_BUTTON_HOVER 103
#define IDB_UPDATE_BUTTON 104
#define IDB_UPDATE_BUTTON_HOVER 105
#define IDB_EXIT_BUTTON 106
#define IDB_EXIT_BUTTON_HOVER 107
#define IDB_VERSION_ICON 108
#define IDB_DOWNLOAD_ICON 109
#define IDB_CLIENT_ICON 110
#define IDB_FIRST IDB_BANNER
#define IDB_LAST IDB_CLIENT_ICON

// TrueType fonts (RCDATA), added to the private collection in id order.
#define IDF_QUICKSAND_LIGHT 201
#define IDF_NUNITO_EXTRALIGHT 202
#define IDF_RUBIK_REGULAR 203
#define IDF_RUBIK_MEDIUM 204
#define IDF_RUBIK_BOLD 205
#define IDF_FIRST IDF_QUICKSAND_LIGHT
#define IDF_LAST IDF_RUBIK_BOLD
