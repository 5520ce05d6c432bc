/*
 * win32/shell.cc -- the process entry on Windows: the start shared with
 * Linux (log, start-up sequence), the event-loop and TCP threads, then a hidden window that owns
 * the notification-area icon and runs the window-message loop until "Exit"
 * is chosen from the icon's menu or the machine suspends or resumes.
 *
 * Everything here runs on the first thread, whose state is one handle that
 * the window keeps in its user data; the shell shares no data with the
 * other threads, which end with the process.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cache/cache.h"
#include "cache/cache_file.h"
#include "forward/loop.h"
#include "odr.h" /* windows.h first */
#include <shellapi.h>
#include "common/qildnsc.h"
#include "shell_ids.h"
#include "shell/log_file.h"
#include "tcp/tcp_server.h"

struct shell {
	unsigned magic;
#define SHELL_MAGIC 0xa7817051
	HINSTANCE instance;
	UINT taskbar_created; /* the message of a new taskbar */
	HWND window;
	HMENU menu;
	NOTIFYICONDATAA nid;
	struct shell_end end; /* what ended the message loop */
};

/* The record layout that ends with dwInfoFlags (no guidItem, no
 * hBalloonIcon): what the shell of every release accepts. */
static_assert(SHELL_NID_SIZE <= sizeof(NOTIFYICONDATAA));

static void
shell_menu_create(struct shell *sh)
{
	sh->menu = CreatePopupMenu();
	(void)AppendMenuA(sh->menu, MF_STRING | MF_GRAYED | MF_DISABLED, 0,
	    QILDNSC_MENU_TITLE);
	(void)AppendMenuA(sh->menu, MF_SEPARATOR, 0, NULL);
	(void)AppendMenuA(sh->menu, MF_STRING, SHELL_CMD_EXIT, "Exit");
}

/* A right click on the icon: the menu at the cursor, and "Exit" chosen
 * from it ends the message loop. */
static void
shell_menu_show(struct shell *sh, HWND hwnd)
{
	POINT pt;

	(void)GetCursorPos(&pt);
	(void)SetForegroundWindow(hwnd);
	UINT cmd = (UINT)TrackPopupMenu(sh->menu, TPM_RETURNCMD | TPM_NONOTIFY, pt.x, pt.y,
	    0, hwnd, NULL);
	if (cmd == SHELL_CMD_EXIT) {
		sh->end.how = SHELL_END_MENU;
		PostQuitMessage(0);
	}
}

/*
 * The handle of the window `hwnd`: handed over with WM_NCCREATE and kept in
 * the window's user data. NULL for the few messages before it (such as
 * WM_GETMINMAXINFO), which take the default handling.
 */
static struct shell *
shell_of(HWND hwnd, UINT msg, LPARAM lp)
{
	struct shell *sh;
	void *p;

	if (msg == WM_NCCREATE) {
		p = reinterpret_cast<CREATESTRUCTA *>(lp)->lpCreateParams;
		(void)SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(p));
	} else {
		p = reinterpret_cast<void *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
	}
	if (p == NULL)
		return NULL;
	CAST_OBJ_NOTNULL(sh, p, SHELL_MAGIC);
	return sh;
}

static LRESULT CALLBACK
shell_wndproc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
	struct shell *sh = shell_of(hwnd, msg, lp);
	if (sh == NULL)
		return DefWindowProcA(hwnd, msg, wp, lp);
	switch (msg) {
	case WM_CREATE:
		shell_menu_create(sh);
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
		    wp == PBT_APMRESUMEAUTOMATIC) {
			sh->end.how = wp == PBT_APMSUSPEND ? SHELL_END_SLEEP : SHELL_END_WAKE;
			PostQuitMessage(0);
		}
		break;
	case SHELL_WM_TRAY:
		if (lp == WM_RBUTTONDOWN)
			shell_menu_show(sh, hwnd);
		break;
	default:
		/* A new taskbar: the window is hidden, so nothing to do. */
		if (msg == sh->taskbar_created && !IsWindowVisible(hwnd))
			return 0;
		break;
	}
	return DefWindowProcA(hwnd, msg, wp, lp);
}

static void
shell_window_create(struct shell *sh)
{
	WNDCLASSEXA wc = {};

	wc.cbSize = sizeof wc;
	wc.style = CS_HREDRAW | CS_VREDRAW;
	wc.lpfnWndProc = shell_wndproc;
	wc.hInstance = sh->instance;
	wc.hIcon = LoadIconA(NULL, IDI_APPLICATION);
	wc.hIconSm = LoadIconA(NULL, IDI_APPLICATION);
	wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
	wc.hbrBackground = (HBRUSH)(INT_PTR)12;
	wc.lpszClassName = SHELL_CLASS;
	if (RegisterClassExA(&wc) == 0)
		FatalAppExitA(0, "Couldn't register window class!");

	sh->window = CreateWindowExA(0, SHELL_CLASS, "Using the system tray",
	    WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 400, 400, NULL, NULL,
	    sh->instance, sh);
	(void)CreateWindowExA(0, "static", "right click the system tray icon to close",
	    WS_CHILD | WS_VISIBLE | SS_CENTER, 0, 0, 400, 400, sh->window, (HMENU)0,
	    sh->instance, NULL);
}

static void
shell_icon_add(struct shell *sh)
{
	NOTIFYICONDATAA *nid = &sh->nid;

	memset(nid, 0, sizeof *nid);
	nid->cbSize = SHELL_NID_SIZE;
	nid->hWnd = sh->window;
	nid->uID = SHELL_ICON_ID;
	nid->uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
	nid->uCallbackMessage = SHELL_WM_TRAY;
	nid->hIcon = LoadIconA(sh->instance, MAKEINTRESOURCEA(SHELL_ICON_RESOURCE));
	(void)snprintf(nid->szTip, sizeof nid->szTip, "%s", QILDNSC_NAME);
	(void)snprintf(nid->szInfo, sizeof nid->szInfo, "%s", QILDNSC_BANNER);
	(void)snprintf(nid->szInfoTitle, sizeof nid->szInfoTitle, "%s", QILDNSC_NAME);
	(void)Shell_NotifyIconA(NIM_ADD, nid);
}

int WINAPI
WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
	/* What it says on standard error is seen when started from a console;
	 * the log has it in any case. */
	int status = shell_start(__argc, __argv);
	if (status >= 0)
		return status;
	ODR_pthread_t thread;
	struct loop *lp = loop_new();
	if (lp == NULL || ODR_pthread_create(&thread, NULL, main_loop, lp) != 0)
		FatalAppExitA(0, "Failed to create a main thread");
	if (ODR_pthread_create(&thread, NULL, tcp_thread, NULL) != 0)
		FatalAppExitA(0, "Failed to create a TCP thread");

	/* Never freed: the window keeps a pointer to it until the process ends. */
	auto *sh = new shell();
	sh->magic = SHELL_MAGIC;
	sh->instance = instance;
	sh->taskbar_created = RegisterWindowMessageA("TaskbarCreated");
	sh->end = {SHELL_END_MAGIC, SHELL_END_UNKNOWN, 0};
	shell_window_create(sh);
	shell_icon_add(sh);
	(void)ShowWindow(sh->window, SW_HIDE);

	MSG msg = {};
	while (GetMessageA(&msg, NULL, 0, 0) > 0) {
		(void)TranslateMessage(&msg);
		(void)DispatchMessageA(&msg);
	}
	if (!IsWindowVisible(sh->window))
		(void)Shell_NotifyIconA(NIM_DELETE, &sh->nid);
	/* Kept for the next start; the cache takes its own lock against the
	 * threads still running. */
	if (qil_cache != NULL)
		cache_file_save(qil_cache, CACHE_FILE_NAME);
	shell_end_log(&sh->end, (int)msg.wParam);
	/* The other threads are not told to stop; they end with the process. */
	return (int)msg.wParam;
}
