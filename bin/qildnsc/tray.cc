/*
 * tray.cc -- the first thread's message loop: one sd-event loop holding the
 * session bus (the tray item), the system bus (sleep) and a signal source
 * for each exit signal. Leaving the loop is the quit message: the item and
 * both connections are closed and the caller ends the process.
 *
 * Runs on the first thread only; it shares nothing with the forwarder's
 * threads. Every bus call it makes is asynchronous, so a slow desktop
 * never holds up a signal.
 */
#include <errno.h>
#include <string.h>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include "exit_signals.h"
#include "qildnsc.h"
#include "tray.h"
#include "tray_item.h"
#include "tray_sleep.h"
#include "vas.h"
#include "vtc_log.h"

struct tray {
	unsigned magic;
#define TRAY_MAGIC 0x7a1c0001
	sd_event *ev;
	sd_bus *session;
	sd_bus *system;
	sd_bus_slot *session_lost;
	sd_bus_slot *system_lost;
	sd_bus_slot *sleep;
	struct tray_item *item;
};

static int
tray_signalled(sd_event_source *src, const struct signalfd_siginfo *, void *)
{
	return sd_event_exit(sd_event_source_get_event(src), 0);
}

static int
tray_bus_lost(sd_bus_message *, void *userdata, sd_bus_error *)
{
	vtc_log(vl, VTCLOG_WARN, "QILEC_00772: The %s bus went away; serving goes on.",
	    static_cast<const char *>(userdata));
	return 0;
}

/* The session or system bus, attached to the loop; null (the reason in
 * *err) when there is none. */
static sd_bus *
tray_connect(struct tray *t, bool system, sd_bus_slot **lost, int *err)
{
	sd_bus *bus = nullptr;

	int r = system ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus);
	if (r >= 0)
		r = sd_bus_attach_event(bus, t->ev, SD_EVENT_PRIORITY_NORMAL);
	/* A local match: sd-bus delivers Disconnected when the bus goes. */
	if (r >= 0)
		r = sd_bus_match_signal(bus, lost, "org.freedesktop.DBus.Local",
		    "/org/freedesktop/DBus/Local", "org.freedesktop.DBus.Local", "Disconnected",
		    tray_bus_lost, const_cast<char *>(system ? "system" : "session"));
	if (r < 0) {
		*err = -r;
		return sd_bus_close_unref(bus);
	}
	return bus;
}

/* The loop with a source for each exit signal; -1 (logged) without. */
static int
tray_open_loop(struct tray *t)
{
	sigset_t set;

	exit_signals(&set);
	int r = sd_event_new(&t->ev);
	for (int sig = 1; r >= 0 && sig < NSIG; sig++)
		if (sigismember(&set, sig) == 1)
			r = sd_event_add_signal(t->ev, nullptr, sig, tray_signalled, nullptr);
	if (r < 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00775: No message loop (%s): only signals "
		    "end the process.", strerror(-r));
		t->ev = sd_event_unref(t->ev);
		return -1;
	}
	return 0;
}

static void
tray_open_buses(struct tray *t)
{
	int err = 0;

	t->session = tray_connect(t, false, &t->session_lost, &err);
	if (t->session == nullptr)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00773: No session bus (%s): no tray icon; only "
		    "signals end the process.", strerror(err));
	else
		t->item = tray_item_new(t->session);

	t->system = tray_connect(t, true, &t->system_lost, &err);
	if (t->system == nullptr)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00774: No system bus (%s): sleep and wake do "
		    "not end the process.", strerror(err));
	else
		tray_sleep_watch(t->system, &t->sleep);
}

static void
tray_close(struct tray *t)
{
	CHECK_OBJ_NOTNULL(t, TRAY_MAGIC);
	/* Closing the session connection takes the item off the panel. */
	if (t->item != nullptr)
		tray_item_delete(&t->item);
	sd_bus_slot_unref(t->sleep);
	sd_bus_slot_unref(t->session_lost);
	sd_bus_slot_unref(t->system_lost);
	sd_bus_close_unref(t->session);
	sd_bus_close_unref(t->system);
	sd_event_unref(t->ev);
	t->magic = 0;
}

/* The last resort: the exit signals alone, as without a desktop. */
static int
tray_wait_signals(void)
{
	(void)exit_signals_wait();
	return 0;
}

int
tray_run(void)
{
	struct tray t = {};

	t.magic = TRAY_MAGIC;
	if (tray_open_loop(&t) != 0)
		return tray_wait_signals();
	tray_open_buses(&t);
	int r = sd_event_loop(t.ev);
	tray_close(&t);
	if (r < 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00775: No message loop (%s): only signals "
		    "end the process.", strerror(-r));
		return tray_wait_signals();
	}
	return 0;
}
