/*
 * tray.h -- the first thread's message loop on a Linux desktop: the tray
 * icon with its menu and balloon on the session bus, sleep and wake on the
 * system bus, and the exit signals, all in one D-Bus event loop.
 *
 * Only the process shell calls it, once, on the first thread, after the
 * event-loop thread has started. The forwarder knows nothing of it.
 */
#ifndef QILDNSC_TRAY_H
#define QILDNSC_TRAY_H

struct shell_end;

/*
 * Runs until "Exit" is chosen from the tray menu, the machine goes to
 * sleep or wakes, or an exit signal arrives (blocked in every thread). Without a session bus, a panel or a system bus it
 * logs why and runs on with what there is; signals always end it. A bus
 * that goes away is logged and does not end it. Says which of them ended
 * it in `end`. Returns the exit status, always 0.
 */
int tray_run(struct shell_end *end);

#endif
