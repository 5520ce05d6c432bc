/*
 * tray_balloon.cc -- the "is running" balloon as a desktop notification.
 * The call is sent without waiting, so a slow or missing notification
 * server never holds up the first thread's loop.
 */
#include <string.h>

#include "common/qildnsc.h"
#include "tray/tray_balloon.h"
#include "tray/tray_icon.h"
#include "vtc_log.h"

static int
balloon_answered(sd_bus_message *reply, void *, sd_bus_error *)
{
	const sd_bus_error *e = sd_bus_message_get_error(reply);

	if (e != nullptr && sd_bus_is_open(sd_bus_message_get_bus(reply)) > 0)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00763: No balloon: Notify: %s (%s)", e->name,
		    e->message != nullptr ? e->message : "");
	return 0;
}

void
tray_balloon_show(sd_bus *bus, const char *icon_name)
{
	/* Default time-out (-1), no actions, no hints, a new notification. */
	int r = sd_bus_call_method_async(bus, nullptr, "org.freedesktop.Notifications",
	    "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "Notify",
	    balloon_answered, nullptr, "susssasa{sv}i", "qildnsc", 0u, icon_name, TRAY_TITLE,
	    QILDNSC_BANNER, 0, 0, -1);
	if (r < 0)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00763: No balloon: Notify: %s", strerror(-r));
}
