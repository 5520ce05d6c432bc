/*
 * tray_sleep.cc -- the end of the process at sleep and at wake, as the
 * suspend and resume notifications of a desktop end it.
 */
#include <string.h>

#include "common/qildnsc.h"
#include "tray/tray_sleep.h"
#include "vtc_log.h"

static int
sleep_signalled(sd_bus_message *m, void *, sd_bus_error *)
{
	int going = 0;

	if (sd_bus_message_read(m, "b", &going) < 0)
		return 0;
	vtc_log(vl, VTCLOG_INFO, "QILEC_00769: The machine %s: exiting.",
	    going ? "is going to sleep" : "woke up");
	sd_event *ev = sd_bus_get_event(sd_bus_message_get_bus(m));
	if (ev != nullptr)
		(void)sd_event_exit(ev, going ? SHELL_END_SLEEP : SHELL_END_WAKE);
	return 0;
}

static int
sleep_watch_installed(sd_bus_message *reply, void *, sd_bus_error *)
{
	const sd_bus_error *e = sd_bus_message_get_error(reply);

	if (sd_bus_is_open(sd_bus_message_get_bus(reply)) <= 0)
		return 0; /* the loss of the bus is logged as such */
	if (e != nullptr)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00770: Sleep and wake will not end the process: "
		    "AddMatch: %s", e->name);
	else
		vtc_log(vl, VTCLOG_DEBUG, "QILEC_00771: Sleep and wake end the process.");
	return 0;
}

void
tray_sleep_watch(sd_bus *bus, sd_bus_slot **slot)
{
	int r = sd_bus_match_signal_async(bus, slot, "org.freedesktop.login1",
	    "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
	    sleep_signalled, sleep_watch_installed, nullptr);
	if (r < 0)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00770: Sleep and wake will not end the process: "
		    "AddMatch: %s", strerror(-r));
}
