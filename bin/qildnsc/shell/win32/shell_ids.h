/*
 * win32/shell_ids.h -- the numbers and texts the Windows shell shares with
 * its resource script and its tests.
 */
#ifndef QILDNSC_SHELL_IDS_H
#define QILDNSC_SHELL_IDS_H

#define QILDNSC_NAME        "Quillet DNS Client"
#define QILDNSC_MENU_TITLE  "Quillet DNS Client v5.0.1"
#define SHELL_CLASS         "tray icon class"
#define SHELL_ICON_RESOURCE 507
#define SHELL_ICON_ID       5000
#define SHELL_WM_TRAY       0x401 /* WM_USER + 1 */
#define SHELL_CMD_EXIT      3000
#define SHELL_NID_SIZE      488

#endif
