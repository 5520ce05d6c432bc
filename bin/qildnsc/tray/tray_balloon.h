/*
 * tray_balloon.h -- the balloon shown when the tray icon is added: one
 * desktop notification (org.freedesktop.Notifications) saying that the
 * forwarder is running. Called on the first thread only.
 */
#ifndef QILDNSC_TRAY_BALLOON_H
#define QILDNSC_TRAY_BALLOON_H

#include <systemd/sd-bus.h>

/*
 * Asks the notification server on `bus` to show the balloon, with
 * `icon_name` (may be "") as its icon. Does not wait for the answer; a
 * refusal, or no server at all, is logged when the answer comes.
 */
void tray_balloon_show(sd_bus *bus, const char *icon_name);

#endif
