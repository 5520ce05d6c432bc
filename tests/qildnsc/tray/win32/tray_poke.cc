/*
 * win32/tray_poke.cc -- sends one window message to the forwarder's hidden
 * window (class "tray icon class"), as the system or the shell would:
 * tools/tray_check_windows uses it for power broadcasts, close and minimize
 * requests and icon clicks.
 *
 * usage: tray_poke.exe MESSAGE WPARAM LPARAM   (numbers, 0x... allowed)
 * Exits 0 once the message is posted, 2 when no such window exists.
 */
#include <stdio.h>
#include <stdlib.h>

#include "odr.h" /* windows.h */

int
main(int argc, char *argv[])
{
	if (argc != 4) {
		(void)fputs("usage: tray_poke MESSAGE WPARAM LPARAM\n", stderr);
		return 1;
	}
	HWND w = FindWindowA("tray icon class", NULL);
	if (w == NULL) {
		(void)fputs("tray_poke: no window of class \"tray icon class\"\n", stderr);
		return 2;
	}
	UINT msg = (UINT)strtoul(argv[1], NULL, 0);
	WPARAM wp = (WPARAM)strtoull(argv[2], NULL, 0);
	LPARAM lp = (LPARAM)strtoll(argv[3], NULL, 0);
	return PostMessageA(w, msg, wp, lp) ? 0 : 1;
}
