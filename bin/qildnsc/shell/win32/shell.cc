/*
 * win32/shell.cc -- the process entry on Windows: the log file, the
 * start-up sequence, the event-loop and TCP threads, then a hidden window that owns
 * the notification-area icon and runs the window-message loop until "Exit"
 * is chosen from the icon's menu or the machine suspends or resumes.
 *
 * Everything here runs on the first thread; the shell shares no data with
 * the other threads, which end with the process.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "forward/loop.h"
#include "odr.h" /* windows.h first */
#include <shellapi.h>
#include "common/qildnsc.h"
#include "shell_ids.h"
#include "shell/startup_report.h"
#include "tcp/tcp_server.h"

static HINSTANCE shell_instance;
static UINT shell_taskbar_created;
static HWND shell_window;
static HMENU shell_menu;
static NOTIFYICONDATAA shell_nid;

/* The record layout that ends with dwInfoFlags (no guidItem, no
 * hBalloonIcon): what the shell of every release accepts. */
static_assert(SHELL_NID_SIZE <= sizeof(NOTIFYICONDATAA));

static void
shell_menu_create(void)
{
	shell_menu = CreatePopupMenu();
	(void)AppendMenuA(shell_menu, MF_STRING | MF_GRAYED | MF_DISABLED, 0,
	    QILDNSC_MENU_TITLE);
	(void)AppendMenuA(shell_menu, MF_SEPARATOR, 0, NULL);
	(void)AppendMenuA(shell_menu, MF_STRING, SHELL_CMD_EXIT, "Exit");
}

/* A right click on the icon: the menu at the cursor, and "Exit" chosen
 * from it ends the message loop. */
static void
shell_menu_show(HWND hwnd)
{
	POINT pt;

	(void)GetCursorPos(&pt);
	(void)SetForegroundWindow(hwnd);
	UINT cmd = (UINT)TrackPopupMenu(shell_menu, TPM_RETURNCMD | TPM_NONOTIFY, pt.x, pt.y,
	    0, hwnd, NULL);
	if (cmd == SHELL_CMD_EXIT)
		PostQuitMessage(0);
}

static LRESULT CALLBACK
shell_wndproc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
	switch (msg) {
	case WM_CREATE:
		shell_menu_create();
		break;
	case WM_DESTROY:
		PostQuitMessage(0);
		break;
	case WM_CLOSE:
		return 0;
	case WM_SYSCOMMAND:
		if ((wp & 0xFFF0) == SC_MINIMIZE || (wp & 0xFFF0) == SC_CLOSE)
			return 0;
		break;
	case WM_NCHITTEST: {
		LRESULT hit = DefWindowProcA(hwnd, msg, wp, lp);
		return hit == HTCLIENT ? HTCAPTION : hit;
	}
	case WM_POWERBROADCAST:
		if (wp == PBT_APMSUSPEND || wp == PBT_APMRESUMESUSPEND ||
		    wp == PBT_APMRESUMEAUTOMATIC)
			PostQuitMessage(0);
		break;
	case SHELL_WM_TRAY:
		if (lp == WM_RBUTTONDOWN)
			shell_menu_show(hwnd);
		break;
	default:
		/* A new taskbar: the window is hidden, so nothing to do. */
		if (msg == shell_taskbar_created && !IsWindowVisible(hwnd))
			return 0;
		break;
	}
	return DefWindowProcA(hwnd, msg, wp, lp);
}

static void
shell_window_create(void)
{
	WNDCLASSEXA wc = {};

	wc.cbSize = sizeof wc;
	wc.style = CS_HREDRAW | CS_VREDRAW;
	wc.lpfnWndProc = shell_wndproc;
	wc.hInstance = shell_instance;
	wc.hIcon = LoadIconA(NULL, IDI_APPLICATION);
	wc.hIconSm = LoadIconA(NULL, IDI_APPLICATION);
	wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
	wc.hbrBackground = (HBRUSH)(INT_PTR)12;
	wc.lpszClassName = SHELL_CLASS;
	if (RegisterClassExA(&wc) == 0)
		FatalAppExitA(0, "Couldn't register window class!");

	shell_window = CreateWindowExA(0, SHELL_CLASS, "Using the system tray",
	    WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 400, 400, NULL, NULL,
	    shell_instance, NULL);
	(void)CreateWindowExA(0, "static", "right click the system tray icon to close",
	    WS_CHILD | WS_VISIBLE | SS_CENTER, 0, 0, 400, 400, shell_window, (HMENU)0,
	    shell_instance, NULL);
}

static void
shell_icon_add(void)
{
	memset(&shell_nid, 0, sizeof shell_nid);
	shell_nid.cbSize = SHELL_NID_SIZE;
	shell_nid.hWnd = shell_window;
	shell_nid.uID = SHELL_ICON_ID;
	shell_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
	shell_nid.uCallbackMessage = SHELL_WM_TRAY;
	shell_nid.hIcon = LoadIconA(shell_instance, MAKEINTRESOURCEA(SHELL_ICON_RESOURCE));
	(void)snprintf(shell_nid.szTip, sizeof shell_nid.szTip, "%s", QILDNSC_NAME);
	(void)snprintf(shell_nid.szInfo, sizeof shell_nid.szInfo, "%s", QILDNSC_BANNER);
	(void)snprintf(shell_nid.szInfoTitle, sizeof shell_nid.szInfoTitle, "%s",
	    QILDNSC_NAME);
	(void)Shell_NotifyIconA(NIM_ADD, &shell_nid);
}

int WINAPI
WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
	static const char log_name[] = "qildnsc_stdout.txt";

	/* Standard output is the log; unbuffered, so no line is ever lost. */
	if (freopen(log_name, "w+", stdout) == NULL)
		return 1;
	setvbuf(stdout, NULL, _IONBF, 0);
	if (qildnsc_init(__argc, __argv) != 0) {
		/* Seen when started from a console; the log has it in any case. */
		startup_report_failure(stderr, log_name);
		return 1;
	}
	ODR_pthread_t thread;
	if (ODR_pthread_create(&thread, NULL, main_loop, NULL) != 0)
		FatalAppExitA(0, "Failed to create a main thread");
	if (ODR_pthread_create(&thread, NULL, tcp_thread, NULL) != 0)
		FatalAppExitA(0, "Failed to create a TCP thread");

	shell_instance = instance;
	shell_taskbar_created = RegisterWindowMessageA("TaskbarCreated");
	shell_window_create();
	shell_icon_add();
	(void)ShowWindow(shell_window, SW_HIDE);

	MSG msg = {};
	while (GetMessageA(&msg, NULL, 0, 0) > 0) {
		(void)TranslateMessage(&msg);
		(void)DispatchMessageA(&msg);
	}
	if (!IsWindowVisible(shell_window))
		(void)Shell_NotifyIconA(NIM_DELETE, &shell_nid);
	/* The other threads are not told to stop; they end with the process. */
	return (int)msg.wParam;
}
