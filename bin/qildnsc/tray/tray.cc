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

#include "common/exit_signals.h"
#include "common/stats.h"
#include "common/qildnsc.h"
#include "tray/tray.h"
#include "tray/tray_item.h"
#include "tray/tray_sleep.h"
#include "vas.h"
#include "vtc_log.h"

/* One bus connection and what the loop knows of it; its callbacks' private
 * pointer. */
struct tray_bus {
	unsigned magic;
#define TRAY_BUS_MAGIC 0x9d4f26b3
	sd_bus *bus;
	sd_bus_slot *lost; /* Disconnected */
	sd_bus_slot *ping; /* the first answer: the bus took us */
	bool system;
	bool up;           /* the bus answered */
};

struct tray {
	unsigned magic;
#define TRAY_MAGIC 0x7a1c0001
	sd_event *ev;
	struct tray_bus session;
	struct tray_bus system;
	sd_bus_slot *sleep;
	struct tray_item *item;
};

/* An exit signal: its number for the last line, and the loop's end. */
static int
tray_signalled(sd_event_source *src, const struct signalfd_siginfo *si, void *userdata)
{
	struct shell_end *end;

	CAST_OBJ_NOTNULL(end, userdata, SHELL_END_MAGIC);
	end->sig = (int)si->ssi_signo;
	return sd_event_exit(sd_event_source_get_event(src), SHELL_END_SIGNAL);
}

/* The statistics asked for: written, and the loop goes on. */
static int
tray_report(sd_event_source *, const struct signalfd_siginfo *, void *)
{
	stats_log();
	return 0;
}

/* Said once per bus: there is none, and what does not happen for want of
 * it. */
static void
tray_no_bus(const struct tray_bus *tb, const char *why)
{
	if (tb->system)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00774: No system bus (%s): sleep and wake do "
		    "not end the process.", why);
	else
		vtc_log(vl, VTCLOG_WARN, "QILEC_00773: No session bus (%s): no tray icon; only "
		    "signals end the process.", why);
}

static int
tray_bus_answered(sd_bus_message *reply, void *userdata, sd_bus_error *)
{
	struct tray_bus *tb;

	CAST_OBJ_NOTNULL(tb, userdata, TRAY_BUS_MAGIC);
	tb->ping = sd_bus_slot_unref(tb->ping);
	tb->up = sd_bus_message_get_error(reply) == nullptr;
	return 0;
}

/* A bus that closes before it ever answered refused us (a session bus of
 * another user, say): that is no bus at all. */
static int
tray_bus_lost(sd_bus_message *, void *userdata, sd_bus_error *)
{
	struct tray_bus *tb;

	CAST_OBJ_NOTNULL(tb, userdata, TRAY_BUS_MAGIC);
	if (!tb->up)
		tray_no_bus(tb, "it closed the connection");
	else
		vtc_log(vl, VTCLOG_WARN, "QILEC_00772: The %s bus went away; serving goes on.",
		    tb->system ? "system" : "session");
	return 0;
}

/* The session or system bus, attached to the loop; false (logged) when
 * there is none. */
static bool
tray_connect(struct tray *t, struct tray_bus *tb, bool system)
{
	tb->magic = TRAY_BUS_MAGIC;
	tb->system = system;
	int r = system ? sd_bus_open_system(&tb->bus) : sd_bus_open_user(&tb->bus);
	if (r >= 0)
		r = sd_bus_attach_event(tb->bus, t->ev, SD_EVENT_PRIORITY_NORMAL);
	/* A local match: sd-bus delivers Disconnected when the bus goes. */
	if (r >= 0)
		r = sd_bus_match_signal(tb->bus, &tb->lost, "org.freedesktop.DBus.Local",
		    "/org/freedesktop/DBus/Local", "org.freedesktop.DBus.Local", "Disconnected",
		    tray_bus_lost, tb);
	if (r >= 0)
		r = sd_bus_call_method_async(tb->bus, &tb->ping, "org.freedesktop.DBus",
		    "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer", "Ping", tray_bus_answered,
		    tb, "");
	if (r < 0) {
		tray_no_bus(tb, strerror(-r));
		tb->lost = sd_bus_slot_unref(tb->lost);
		tb->bus = sd_bus_close_unref(tb->bus);
		return false;
	}
	return true;
}

static void
tray_disconnect(struct tray_bus *tb)
{
	CHECK_OBJ_NOTNULL(tb, TRAY_BUS_MAGIC);
	sd_bus_slot_unref(tb->ping);
	sd_bus_slot_unref(tb->lost);
	sd_bus_close_unref(tb->bus);
	tb->magic = 0;
}

/* The loop with a source for each exit signal, which notes its number in
 * `end`; -1 (logged) without. */
static int
tray_open_loop(struct tray *t, struct shell_end *end)
{
	sigset_t set;

	exit_signals(&set);
	int r = sd_event_new(&t->ev);
	for (int sig = 1; r >= 0 && sig < NSIG; sig++)
		if (sigismember(&set, sig) == 1)
			r = sd_event_add_signal(t->ev, nullptr, sig, tray_signalled, end);
	if (r >= 0)
		r = sd_event_add_signal(t->ev, nullptr, REPORT_SIGNAL, tray_report, nullptr);
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
	if (tray_connect(t, &t->session, false))
		t->item = tray_item_new(t->session.bus);
	if (tray_connect(t, &t->system, true))
		tray_sleep_watch(t->system.bus, &t->sleep);
}

static void
tray_close(struct tray *t)
{
	CHECK_OBJ_NOTNULL(t, TRAY_MAGIC);
	/* Closing the session connection takes the item off the panel. */
	if (t->item != nullptr)
		tray_item_delete(&t->item);
	sd_bus_slot_unref(t->sleep);
	tray_disconnect(&t->session);
	tray_disconnect(&t->system);
	sd_event_unref(t->ev);
	t->magic = 0;
}

/* The last resort: the exit signals alone, as without a desktop. */
static int
tray_wait_signals(struct shell_end *end)
{
	end->sig = exit_signals_wait();
	end->how = SHELL_END_SIGNAL;
	return 0;
}

int
tray_run(struct shell_end *end)
{
	struct tray t = {};

	CHECK_OBJ_NOTNULL(end, SHELL_END_MAGIC);
	t.magic = TRAY_MAGIC;
	if (tray_open_loop(&t, end) != 0)
		return tray_wait_signals(end);
	tray_open_buses(&t);
	/* The loop's exit code says what ended it (a shell_end_how). */
	int r = sd_event_loop(t.ev);
	tray_close(&t);
	if (r < 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00775: No message loop (%s): only signals "
		    "end the process.", strerror(-r));
		return tray_wait_signals(end);
	}
	end->how = static_cast<enum shell_end_how>(r);
	return 0;
}
